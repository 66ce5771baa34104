#include "pelk_utils/annotation/file_changes.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {
namespace fs = std::filesystem;
using testing::slurp;

// Every file under a folder: its bytes and its modification time.
using Snapshot = std::map<std::string, std::pair<std::string, fs::file_time_type>>;

Snapshot snapshot(const fs::path& dir) {
  Snapshot out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = {slurp(e.path()), e.last_write_time()};
  }
  return out;
}

void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A clip folder of four files, "a0".."a3", and a repair that changes the
// first three.
class FileChangesTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    make_clip("clip", "a");
  }
  void make_clip(const std::string& folder, const std::string& text) {
    fs::create_directories(dir_ / folder);
    for (int i = 0; i < 4; ++i) write(dir_ / folder / name(i), text + std::to_string(i));
  }
  static std::string name(int i) { return "output_pp_" + std::to_string(i) + ".json"; }
  std::vector<FileChange> changes(const std::string& folder = "clip") const {
    std::vector<FileChange> out;
    for (int i = 0; i < 3; ++i) {
      const std::string p = path(folder + "/" + name(i));
      out.push_back({p, slurp(p), "repaired " + slurp(p)});
    }
    return out;
  }
  std::string clip() const { return path("clip"); }
  std::string text(const std::string& folder, int i) const { return slurp(path(folder + "/" + name(i))); }
};

TEST_F(FileChangesTest, ACopiedFolderUndoesItselfAndNeverTheOriginal) {
  apply_file_changes(clip(), changes(), "test");
  fs::copy(clip(), path("copy"), fs::copy_options::recursive);
  EXPECT_EQ(undo_file_changes(path("copy")), 3u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(text("copy", i), "a" + std::to_string(i));
  EXPECT_EQ(text("clip", 0), "repaired a0");  // the original keeps its repair, and its undo
  EXPECT_EQ(repair_status(clip()).state, RepairState::kApplied);
  EXPECT_EQ(undo_file_changes(clip()), 3u);
  EXPECT_EQ(text("clip", 2), "a2");
}

TEST_F(FileChangesTest, AMovedFolderAndRelativePathsFromAnotherWorkingFolder) {
  const fs::path cwd = fs::current_path();
  fs::create_directories(dir_ / "elsewhere");
  make_clip("elsewhere/clip", "b");  // a same-named clip beside the other working folder
  const Snapshot other = snapshot(dir_ / "elsewhere");
  fs::current_path(dir_);
  std::vector<FileChange> c;
  for (int i = 0; i < 3; ++i) c.push_back({"clip/" + name(i), text("clip", i), "r" + std::to_string(i)});
  apply_file_changes("clip", c, "relative");
  fs::rename(dir_ / "clip", dir_ / "moved");
  fs::current_path(dir_ / "elsewhere");
  EXPECT_EQ(undo_file_changes((dir_ / "moved").string()), 3u);
  fs::current_path(cwd);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(text("moved", i), "a" + std::to_string(i));
  EXPECT_EQ(snapshot(dir_ / "elsewhere"), other);
}

// A manifest that does not belong to its folder is refused with a reason and
// the folder is left exactly as it was.
struct ForeignCase {
  const char* name;
  void (*edit)(const fs::path& clip, const fs::path& other);
  const char* reason;
};
void PrintTo(const ForeignCase& c, std::ostream* os) { *os << c.name; }

class ForeignManifestTest : public FileChangesTest, public ::testing::WithParamInterface<ForeignCase> {};

void replace_in(const fs::path& path, const std::string& from, const std::string& to) {
  std::string s = slurp(path);
  const auto at = s.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  s.replace(at, from.size(), to);
  write(path, s);
}

TEST_P(ForeignManifestTest, IsRefusedWithNothingChanged) {
  make_clip("other", "c");
  apply_file_changes(path("other"), changes("other"), "other's");
  apply_file_changes(clip(), changes(), "mine");
  GetParam().edit(dir_ / "clip", dir_ / "other");
  const Snapshot before = snapshot(dir_ / "clip");
  try {
    undo_file_changes(clip());
    ADD_FAILURE() << "undo did not refuse";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().reason), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("nothing was changed"), std::string::npos) << e.what();
  }
  EXPECT_THROW(finish_interrupted_repair(clip()), std::exception);
  EXPECT_EQ(snapshot(dir_ / "clip"), before);
}

const ForeignCase kForeign[] = {
    {"another folders manifest and backups",
     [](const fs::path& clip, const fs::path& other) {
       fs::remove_all(clip / kRepairBackupDir);
       fs::copy(other / kRepairBackupDir, clip / kRepairBackupDir, fs::copy_options::recursive);
       fs::copy_file(other / kRepairManifest, clip / kRepairManifest, fs::copy_options::overwrite_existing);
     },
     "does not belong to this folder"},
    {"another folders manifest beside our backups",
     [](const fs::path& clip, const fs::path& other) {
       fs::copy_file(other / kRepairManifest, clip / kRepairManifest, fs::copy_options::overwrite_existing);
     },
     "does not match the backup folder"},
    {"a path out of the folder",
     [](const fs::path& clip, const fs::path&) { replace_in(clip / kRepairManifest, "\"output_pp_0.json\"", "\"../other/output_pp_0.json\""); },
     "names a file outside its folder"},
    {"a backup out of the backup folder",
     [](const fs::path& clip, const fs::path&) { replace_in(clip / kRepairManifest, "\"0.orig\"", "\"../../other/output_pp_0.json\""); },
     "names a backup outside"},
    {"a file listed twice",
     [](const fs::path& clip, const fs::path&) { replace_in(clip / kRepairManifest, "\"output_pp_1.json\"", "\"output_pp_0.json\""); },
     "lists 'output_pp_0.json' twice"},
    {"an edited fingerprint",
     [](const fs::path& clip, const fs::path&) { replace_in(clip / kRepairManifest, "\"original\": \"", "\"original\": \"0"); },
     "has no fingerprints"},
    {"an edited backup",
     [](const fs::path& clip, const fs::path&) { write(clip / kRepairBackupDir / "1.orig", "edited"); },
     "has no intact backup of 'output_pp_1.json'"},
    {"not JSON", [](const fs::path& clip, const fs::path&) { write(clip / kRepairManifest, "{\"state\": "); }, "cannot be read"},
    {"another programs JSON",
     [](const fs::path& clip, const fs::path&) { write(clip / kRepairManifest, R"({"format": "labelme", "state": "applied", "files": []})"); },
     "is not a repair manifest"},
    {"a manifest from a later version",
     [](const fs::path& clip, const fs::path&) { replace_in(clip / kRepairManifest, "\"version\": 2", "\"version\": 9"); },
     "has a version this pelk does not know"},
};
INSTANTIATE_TEST_SUITE_P(Manifests, ForeignManifestTest, ::testing::ValuesIn(kForeign));

TEST_F(FileChangesTest, AManifestOfTheEarlierFormatRestoresItsOwnFolder) {
  // Earlier manifests kept paths as typed, here those of a folder elsewhere.
  fs::create_directories(dir_ / "clip" / kRepairBackupDir);
  write(dir_ / "clip" / kRepairBackupDir / "0.orig", "a0");
  write(dir_ / "clip" / name(0), "r0");
  write(dir_ / "clip" / kRepairManifest,
        R"({"state": "applied", "description": "old", "files": [{"path": "/somewhere/else/clip/output_pp_0.json",)"
        R"( "backup": "0.orig", "original": "9bac1d00c65b56c2", "repaired": "9bdf1700c686a629"}]})");
  EXPECT_EQ(repair_status(clip()).state, RepairState::kApplied);
  EXPECT_FALSE(repair_status(clip()).can_finish);
  EXPECT_EQ(undo_file_changes(clip()), 1u);
  EXPECT_EQ(text("clip", 0), "a0");
}

TEST_F(FileChangesTest, ChangesOutsideTheFolderAreRefusedBeforeWriting) {
  make_clip("other", "c");
  std::vector<FileChange> c = changes();
  c[1].path = path("other/" + name(1));
  const Snapshot before = snapshot(dir_);
  EXPECT_THROW(apply_file_changes(clip(), c, "test"), std::invalid_argument);
  c[1] = c[0];
  EXPECT_THROW(apply_file_changes(clip(), c, "test"), std::invalid_argument);
  EXPECT_EQ(snapshot(dir_), before);
}

// A repair killed at every point it writes something, then each command.
int g_countdown = 0;
void kill_at_countdown(const char*) {
  if (--g_countdown == 0) ::raise(SIGKILL);
}

struct KillCase {
  int at;                  // the write step at which the run dies (1-based)
  RepairState state;       // what is left
  bool leftovers;          // an orphaned backup folder
};
void PrintTo(const KillCase& c, std::ostream* os) { *os << "killed at step " << c.at; }

class KilledRepairTest : public FileChangesTest, public ::testing::WithParamInterface<KillCase> {
 protected:
  void kill_repair_at(int at) {
    const std::vector<FileChange> c = changes();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      g_countdown = at;
      testing::set_file_change_hook(kill_at_countdown);
      try {
        apply_file_changes(clip(), c, "killed");
      } catch (...) {
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the repair finished before step " << at;
    write(dir_ / "clip" / ".pelk-x1y2z3", "half a file");  // a temporary file a killed write leaves
  }
  void expect_texts(const std::string& prefix, int changed) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(text("clip", i), (i < changed ? prefix : "") + "a" + std::to_string(i)) << i;
  }
};

// Steps: backups of three files (1-3), the manifest (4), three files (5-7),
// the manifest saying "applied" (8).
const KillCase kKills[] = {{1, RepairState::kNone, true},    {3, RepairState::kNone, true},
                           {4, RepairState::kNone, true},    {5, RepairState::kPending, false},
                           {6, RepairState::kPending, false}, {8, RepairState::kPending, false}};

TEST_P(KilledRepairTest, StatusWritesNothingAndUndoOrFinishOrARerunRestoresOrder) {
  kill_repair_at(GetParam().at);
  const Snapshot killed = snapshot(dir_ / "clip");
  const RepairStatus s = repair_status(clip());
  EXPECT_EQ(snapshot(dir_ / "clip"), killed);  // looking writes nothing, mtimes included
  EXPECT_EQ(s.state, GetParam().state);
  EXPECT_EQ(s.leftovers.size(), GetParam().leftovers ? 2u : 1u);

  fs::copy(clip(), path("undo"), fs::copy_options::recursive);
  undo_file_changes(path("undo"));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(text("undo", i), "a" + std::to_string(i));
  EXPECT_EQ(snapshot(dir_ / "undo").size(), 4u) << "manifest, backups and temporary files are gone";

  if (s.state == RepairState::kPending) {
    ASSERT_TRUE(s.can_finish);
    finish_interrupted_repair(clip());
    expect_texts("repaired ", 3);
    EXPECT_EQ(repair_status(clip()).state, RepairState::kApplied);
    EXPECT_TRUE(repair_status(clip()).leftovers.empty());
    EXPECT_EQ(undo_file_changes(clip()), 3u);
  } else {
    apply_file_changes(clip(), changes(), "rerun");  // cleans up, then repairs
    EXPECT_TRUE(repair_status(clip()).leftovers.empty());
    expect_texts("repaired ", 3);
  }
}
INSTANTIATE_TEST_SUITE_P(Steps, KilledRepairTest, ::testing::ValuesIn(kKills));

TEST_F(FileChangesTest, FinishRefusesWhenAFileChangedMeanwhile) {
  const std::vector<FileChange> c = changes();
  apply_file_changes(clip(), c, "test");
  replace_in(dir_ / "clip" / kRepairManifest, "\"applied\"", "\"applying\"");
  write(dir_ / "clip" / name(2), "someone else's");
  const Snapshot before = snapshot(dir_ / "clip");
  EXPECT_THROW(finish_interrupted_repair(clip()), std::runtime_error);
  EXPECT_THROW(undo_file_changes(clip()), std::runtime_error);
  EXPECT_EQ(snapshot(dir_ / "clip"), before);
}

}  // namespace
}  // namespace pelk
