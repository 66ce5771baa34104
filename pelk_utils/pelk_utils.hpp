// pelk_utils: processing steps for following individual pigs through videos
// from fixed overhead cameras. Including this header gives the whole
// callable surface of the library.
#pragma once

#include "pelk_utils/core/atomic_file.hpp"
#include "pelk_utils/core/box.hpp"
#include "pelk_utils/core/csv.hpp"
#include "pelk_utils/core/drawing.hpp"
#include "pelk_utils/core/intersections_table.hpp"
#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/ordered_map.hpp"
#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/core/polygon_fill.hpp"
#include "pelk_utils/core/py_text.hpp"
#include "pelk_utils/detect/detection_filter.hpp"
#include "pelk_utils/detect/drawing.hpp"
#include "pelk_utils/detect/initializer.hpp"
#include "pelk_utils/detect/pen.hpp"
#include "pelk_utils/models/detection_model.hpp"
#include "pelk_utils/models/image_encoder.hpp"
#include "pelk_utils/models/image_predictor.hpp"
