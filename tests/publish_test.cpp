#include <gtest/gtest.h>

#include <sys/stat.h>

#include "publish.h"
#include "support.h"

namespace {

TEST(Publish, RenamesACompleteFileIntoPlace) {
    temp_dir dir;
    const std::string bytes("\x89PNG\0 image", 11);
    write_file(dir.file("eq.png"), "an older image");
    ASSERT_TRUE(publish_files({{bytes, dir.file("eq.png"), dir.file("work.out")}}));
    EXPECT_EQ(read_file(dir.file("eq.png")), bytes);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"eq.png"});
    // Created like any file, so that a web server can read it.
    const mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(dir.file("eq.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(Publish, Failures) {
    temp_dir dir;
    // The temporary file cannot be made, or every write to it fails.
    EXPECT_FALSE(publish_files({{"x", dir.file("eq.png"), "/nonexistent/dir/work.out"}}));
    EXPECT_FALSE(publish_files({{"x", dir.file("eq.png"), "/dev/full"}}));
    // The target's directory is gone: the rename fails and nothing is there.
    EXPECT_FALSE(publish_files({{"x", dir.file("gone/eq.png"), dir.file("work.out")}}));
    EXPECT_FALSE(file_exists(dir.file("eq.png")));
}

TEST(Publish, AllFilesOrNone) {
    temp_dir dir;
    mkdir(dir.file("private").c_str(), 0700);
    ASSERT_TRUE(publish_files({{"big", dir.file("eq@2x.png"), dir.file("private/a")},
                               {"small", dir.file("eq.png"), dir.file("private/b")}}));
    EXPECT_EQ(read_file(dir.file("eq@2x.png")), "big");
    EXPECT_EQ(read_file(dir.file("eq.png")), "small");
    // The second rename fails: the first file, already in place, goes again.
    temp_dir other;
    EXPECT_FALSE(publish_files({{"big", other.file("eq@2x.png"), other.file("a")},
                                {"small", other.file("gone/eq.png"), other.file("b")}}));
    EXPECT_FALSE(file_exists(other.file("eq@2x.png")));
}

}  // namespace
