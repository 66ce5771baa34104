#include "pelk_utils/detect/pen.hpp"
