#include <gtest/gtest.h>

#include "driver.h"

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
        {"/eq.png", "", "eq", "png", "eq.png"},
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

TEST(ReportLine, OffsetIsAValidCssLength) {
    EXPECT_EQ(report_line(84, 35, 13), "WIDTH=84 HEIGHT=35 STYLE=\"vertical-align: -13px; margin: 0;\"");
    EXPECT_EQ(report_line(1, 2, 0), "WIDTH=1 HEIGHT=2 STYLE=\"vertical-align: -0px; margin: 0;\"");
    EXPECT_EQ(report_line(1, 2, -2), "WIDTH=1 HEIGHT=2 STYLE=\"vertical-align: 2px; margin: 0;\"");
    EXPECT_EQ(report_line(1, 2, INT32_MIN),
              "WIDTH=1 HEIGHT=2 STYLE=\"vertical-align: 2147483648px; margin: 0;\"");
}

}  // namespace
