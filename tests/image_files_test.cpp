// The copy that an image from a pipe is read into, in this process: a private
// file in $TMPDIR, or in /tmp where $TMPDIR is unset, empty, missing or no
// folder. That the run then sends the copy, whatever folder it is in,
// operator_mistake_test shows end to end.
#include "rows.h"
#include "testbed.h"

#include "run/image_files.h"
#include "run/state.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using test_rows::operator<<;

struct copy_case {
    const char* name;
    const char* tmpdir; // "{dir}" the test's folder; null: unset
    std::string folder; // where the copy is
};

class PipeCopy : public ::testing::TestWithParam<copy_case> {};

TEST_P(PipeCopy, IsMadeInTmpdirElseInTmp) {
    const copy_case& row = GetParam();
    const temp_dir dir;
    mkdir((dir.path + "/tmp").c_str(), 0700);
    dir.file("a-file", "");
    const fifo_writer writer(dir.path + "/fw.fifo", ":00000001FF\n");
    const char* inherited = std::getenv("TMPDIR");
    const std::string saved = inherited != nullptr ? inherited : "";
    if (row.tmpdir != nullptr) {
        setenv("TMPDIR", with_paths(row.tmpdir, {{"{dir}", dir.path}}).c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    alloc_buffers();
    std::snprintf(firmware_name, path_size, "%s", writer.path.c_str());
    reload_mode = true;
    check_image_files();
    std::FILE* copy = open_image(image_file::firmware);
    if (inherited != nullptr) {
        setenv("TMPDIR", saved.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    ASSERT_NE(copy, nullptr);
    char target[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fileno(copy));
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    // The copy has no name left: "FOLDER/#INODE (deleted)" or "FOLDER/romup-XXXXXX (deleted)".
    const std::string path = target;
    EXPECT_EQ(path.substr(0, path.rfind('/')), with_paths(row.folder, {{"{dir}", dir.path}}))
        << path;
    std::fclose(copy);
    reload_mode = false;
    free_buffers();
}

INSTANTIATE_TEST_SUITE_P(ImageFiles, PipeCopy,
                         ::testing::Values(copy_case{"TmpdirUsable", "{dir}/tmp", "{dir}/tmp"},
                                           copy_case{"TmpdirUnset", nullptr, "/tmp"},
                                           copy_case{"TmpdirEmpty", "", "/tmp"},
                                           copy_case{"TmpdirMissing", "{dir}/missing", "/tmp"},
                                           copy_case{"TmpdirNotAFolder", "{dir}/a-file", "/tmp"}),
                         row_name{});

} // namespace
