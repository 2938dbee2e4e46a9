#include <gtest/gtest.h>

#include <sys/stat.h>

#include "driver.h"
#include "support.h"

namespace {

TEST(SplitOutputPath, Table) {
    struct row {
        const char* name;
        const char* dir;
        const char* base;
        const char* extension;  // nullptr: none
        const char* file;
    };
    const row rows[] = {
        {"images/eq1.png", "images", "eq1", "png", "eq1.png"},
        {"eq", ".", "eq", nullptr, "eq"},
        {"eq.tar.png", ".", "eq.tar", "png", "eq.tar.png"},
        {"eqs.d/eq", "eqs.d", "eq", nullptr, "eq"},
        {"eq.", ".", "eq", "", "eq."},
        {".png", ".", "", "png", ".png"},
        {"", ".", "", nullptr, ""},
        {"/eq.png", "/", "eq", "png", "eq.png"},
        {"a/b/c.d/e.f", "a/b/c.d", "e", "f", "e.f"},
        {"dir/", "dir", "", nullptr, ""},
        {"-x.png", ".", "-x", "png", "-x.png"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        output_path p = split_output_path(r.name);
        EXPECT_EQ(p.work_dir, r.dir);
        EXPECT_EQ(p.work_base, r.base);
        EXPECT_EQ(p.extension.has_value(), r.extension != nullptr);
        if (r.extension && p.extension) {
            EXPECT_EQ(*p.extension, r.extension);
        }
        EXPECT_EQ(output_file_name(p), r.file);
    }
}

TEST(LocateJob, RefusesWhatCannotWork) {
    temp_dir dir;
    mkdir(dir.file("sub").c_str(), 0755);
    write_file(dir.file("file"), "");
    struct row {
        std::optional<std::string> name;
        const char* message;  // nullptr: located
    };
    const row rows[] = {
        {std::nullopt, nullptr},
        {dir.file("sub/eq.png"), nullptr},
        {"/eq.png", nullptr},
        {dir.file("sub/"), "\nNo file name in output name '@/sub/'\n"},
        {"", "\nNo file name in output name ''\n"},
        {dir.file("nowhere/eq.png"), "\nCannot change to directory '@/nowhere'\n"},
        {dir.file("file/eq.png"), "\nCannot change to directory '@/file'\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name.value_or("(none)"));
        job_settings settings;
        settings.output_name = r.name;
        result<job_target> target = locate_job(settings);
        if (!r.message) {
            ASSERT_TRUE(target) << target.error.message;
            EXPECT_EQ(target->absolute_work_dir.front(), '/');
            continue;
        }
        ASSERT_FALSE(target);
        std::string expected = r.message;
        if (expected.find('@') != std::string::npos)
            expected.replace(expected.find('@'), 1, dir.path);
        EXPECT_EQ(target.error.message, expected);
    }
    // Without -o the work happens in the current directory, as "noname".
    result<job_target> bare = locate_job(job_settings{});
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->path.work_base, "noname");
    EXPECT_FALSE(bare->output_file);
}

TEST(ReportLine, OffsetIsAValidCssLength) {
    EXPECT_EQ(report_line(84, 35, 13), "WIDTH=84 HEIGHT=35 STYLE=\"vertical-align: -13px; margin: 0;\"");
    EXPECT_EQ(report_line(1, 2, 0), "WIDTH=1 HEIGHT=2 STYLE=\"vertical-align: -0px; margin: 0;\"");
    EXPECT_EQ(report_line(1, 2, -2), "WIDTH=1 HEIGHT=2 STYLE=\"vertical-align: 2px; margin: 0;\"");
    EXPECT_EQ(report_line(1, 2, INT32_MIN),
              "WIDTH=1 HEIGHT=2 STYLE=\"vertical-align: 2147483648px; margin: 0;\"");
}

}  // namespace
