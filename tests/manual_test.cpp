#include <gtest/gtest.h>

#include <sstream>

#include "command_line.h"
#include "support.h"

namespace {

// Every option line of the help text ("-x ...") has its entry in the manual.
TEST(Manual, DescribesEveryOptionOfTheHelpText) {
    std::istringstream help(help_text());
    const std::string manual = read_file(MATHRAST_MANUAL);
    ASSERT_FALSE(manual.empty());
    std::string line;
    int options = 0;
    while (std::getline(help, line)) {
        if (line.size() < 2 || line[0] != '-')
            continue;
        ++options;
        const std::string roff = "\\-" + line.substr(1, 1);
        const bool entry = manual.find(".B " + roff + "\n") != std::string::npos ||
                           manual.find(".BI " + roff + " ") != std::string::npos;
        EXPECT_TRUE(entry) << "no entry for " << line.substr(0, 2);
    }
    EXPECT_EQ(options, 13);
    for (const char* section : {".SH SYNOPSIS", ".SH DESCRIPTION", ".SH OPTIONS", ".SH REPORT LINE",
                                ".SH EXIT STATUS", ".SH FILES", ".SH EXAMPLES", ".SH SECURITY NOTES"})
        EXPECT_NE(manual.find(section), std::string::npos) << section;
}

}  // namespace
