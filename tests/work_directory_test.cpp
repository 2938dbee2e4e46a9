#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "support.h"
#include "work_directory.h"

namespace {

TEST(WorkDirectory, PathIn) {
    EXPECT_EQ(path_in("/out", "eq.png"), "/out/eq.png");
    EXPECT_EQ(path_in("/", "eq.png"), "/eq.png");
    EXPECT_EQ(path_in("/out/", "eq.png"), "/out/eq.png");
}

TEST(WorkDirectory, PrivateDirectoryIsOursAndGoesWithEverythingInIt) {
    temp_dir dir;
    write_file(dir.file("outside"), "keep");
    std::string made;
    {
        private_directory scratch;
        ASSERT_FALSE(make_private_directory(dir.path, scratch));
        made = scratch.path;
        EXPECT_EQ(made.rfind(dir.path + "/.mathrast-", 0), 0u) << made;
        struct stat st;
        ASSERT_EQ(stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        mkdir((made + "/sub").c_str(), 0755);
        write_file(made + "/sub/file", "x");
        // A link is removed, never followed.
        symlink(dir.file("outside").c_str(), (made + "/link").c_str());
    }
    EXPECT_FALSE(file_exists(made));
    EXPECT_EQ(read_file(dir.file("outside")), "keep");

    private_directory nowhere;
    step_failure f = make_private_directory("/nonexistent", nowhere);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->message, "\nCannot make a work directory in the output directory: "
                          "No such file or directory\n");
}

TEST(WorkDirectory, KeepsAWorkFileUnderTheUsersName) {
    temp_dir dir;
    mkdir(dir.file("private").c_str(), 0700);
    const work_area area{dir.path, dir.file("private"), "eq1", {}};
    write_file(work_file(area, ".log"), "the log");
    EXPECT_EQ(work_file(area, ".log"), dir.file("private/formula.log"));
    EXPECT_EQ(keep_as(area, ".log"), "");
    EXPECT_EQ(read_file(dir.file("eq1.log")), "the log");
    EXPECT_EQ(keep_as(area, ".dvi"), "");  // never written: nothing to say
    // A directory of the user's under that name stays; the user is told.
    mkdir(dir.file("eq1.dvi").c_str(), 0755);
    write_file(work_file(area, ".dvi"), "dvi");
    EXPECT_EQ(keep_as(area, ".dvi"), "Cannot keep 'eq1.dvi': Is a directory\n");
}

TEST(WorkDirectory, ReadsAWorkFileWhole) {
    temp_dir dir;
    const std::string bytes("said\0\xff\n", 7);
    write_file(dir.file("said"), bytes);
    EXPECT_EQ(read_work_file(dir.file("said")), bytes);
    EXPECT_EQ(read_work_file(dir.file("missing")), "");
    EXPECT_EQ(read_work_file(dir.path), "");  // a directory reads as nothing
}

}  // namespace
