#include <gtest/gtest.h>

#include <algorithm>

#include "tool_invocations.h"

namespace {

TEST(ToolInvocations, TexSearchPath) {
    struct row {
        std::optional<std::string> caller;
        const char* path;
    };
    const row rows[] = {
        {std::nullopt, ".:/out:"},  // the trailing empty entry brings the default path
        {"", ".:/out:"},
        {"styles:", ".:/out:/out/styles:"},
        {"/abs:rel", ".:/out:/abs:/out/rel"},
        {"!!rel:!!/abs", ".:/out:!!/out/rel:!!/abs"},
        {"~/tex:$HOME/tex:", ".:/out:~/tex:$HOME/tex:"},
        {"::a", ".:/out:::/out/a"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.caller.value_or("(unset)"));
        EXPECT_EQ(tex_inputs("/out", r.caller), r.path);
    }
}

bool has(const std::vector<std::string>& words, const std::string& word) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

TEST(ToolInvocations, CommandLinesAndEnvironments) {
    const work_area area{"/out", "/out/.mathrast-abc", "eq1", {}};
    const child_spec latex = latex_invocation(area, std::string("sty"));
    EXPECT_EQ(latex.argv, (std::vector<std::string>{"latex", "formula.tex"}));
    EXPECT_EQ(latex.directory, "/out/.mathrast-abc");
    EXPECT_EQ(latex.stdout_to, output_sink::null);
    EXPECT_EQ(latex.stderr_to, output_sink::inherit);
    for (const char* entry : {"openin_any=p", "openout_any=p", "shell_escape=f", "MKTEXPK=0",
                              "MKTEXTFM=0", "MKTEXMF=0", "TEXINPUTS=.:/out:/out/sty"})
        EXPECT_TRUE(has(latex.env_set, entry)) << entry;
    EXPECT_EQ(latex.env_unset, std::vector<std::string>{"TEXMFOUTPUT"});

    const child_spec dvips = dvips_invocation(area, std::nullopt);
    EXPECT_EQ(dvips.argv, (std::vector<std::string>{"dvips", "-R2", "-q", "-E", "-o", "formula.ps",
                                                    "formula.dvi"}));
    EXPECT_EQ(dvips.stdout_to, output_sink::null);
    EXPECT_EQ(dvips.stderr_to, output_sink::null);
    EXPECT_TRUE(has(dvips.env_set, "TEXINPUTS=.:/out:"));
    EXPECT_FALSE(has(dvips.env_set, "openin_any=p"));

    const child_spec gs = gs_invocation(area, {400, 404, 156}, {72, -3, 144, 100}, 156, {});
    ASSERT_GE(gs.argv.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(gs.argv.begin(), gs.argv.begin() + 9),
              (std::vector<std::string>{"gs", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pngmono",
                                        "-sOutputFile=formula-%d.png", "-r400", "-q", "-g404x156"}));
    // Two passes over the same file: the image, then the mark alone.
    const std::vector<std::string> passes(gs.argv.begin() + 9, gs.argv.end());
    ASSERT_EQ(passes.size(), 10u);
    EXPECT_EQ(passes[0], "-c");
    EXPECT_EQ(passes[1].rfind("/mr@job save def ", 0), 0u);
    EXPECT_NE(passes[1].find("72 neg -3 neg translate\n"), std::string::npos);
    EXPECT_EQ(std::vector<std::string>(passes.begin() + 2, passes.begin() + 6),
              (std::vector<std::string>{"-f", "formula.ps", "-c", "mr@job restore"}));
    EXPECT_EQ(passes[6], "-c");
    EXPECT_NE(passes[7].find("newpath clip"), std::string::npos);  // the mark alone
    EXPECT_EQ(passes[9], "formula.ps");
    EXPECT_EQ(gs.stdin_data, "");
    EXPECT_EQ(gs.stdout_to, output_sink::to_stderr);
    EXPECT_TRUE(has(gs.env_set, "TMPDIR=/out/.mathrast-abc"));
    EXPECT_TRUE(has(gs.env_set, "TEMP=/out/.mathrast-abc"));
}

// The box pass reads a map that keeps every font's names and instructions
// and drops its files, in each way dvips writes them.
TEST(ToolInvocations, ResidentFontMap) {
    const std::pair<const char*, const char*> lines[] = {
        {"cmr12 CMR12 <cmr12.pfb", "cmr12 CMR12"},
        {"ec-lmr10 LMRoman10-Regular \"enc-ec ReEncodeFont\" <lm-ec.enc <lmr10.pfb",
         "ec-lmr10 LMRoman10-Regular \"enc-ec ReEncodeFont\""},
        {"rptmro Times-Roman \" .167 SlantFont \" <[8r.enc <<ptmr8a.pfa",
         "rptmro Times-Roman \" .167 SlantFont \""},
        {"msam10 MSAM10 < msam10.pfb", "msam10 MSAM10"},
        {"eurm10\tEURM10  <<  eurm10.pfb\r", "eurm10 EURM10"},
        {"pplr8r Palatino-Roman", "pplr8r Palatino-Roman"},
        {"% a comment <kept.pfb", "% a comment <kept.pfb"},
        {"", ""},
    };
    std::string map, expected;
    for (const auto& [line, resident] : lines) {
        map += std::string(line) + "\n";
        expected += std::string(resident) + "\n";
    }
    EXPECT_EQ(resident_font_map(map), expected);
    EXPECT_EQ(resident_font_map("cmr10 CMR10 <cmr10.pfb"), "cmr10 CMR10\n");  // no last line end

    const work_area area{"/out", "/out/.mathrast-abc", "eq1", {}};
    const child_spec resident = dvips_pages_invocation(area, std::nullopt, "resident.map");
    EXPECT_EQ(resident.argv, (std::vector<std::string>{"dvips", "-R2", "-q", "-E", "-i", "-S", "1",
                                                       "-u", "resident.map", "-o", "page",
                                                       "formula.dvi"}));
    // Found in the private directory and nowhere else.
    EXPECT_TRUE(has(resident.env_set, "TEXFONTMAPS=."));
    const child_spec own = dvips_pages_invocation(area, std::nullopt);
    EXPECT_EQ(own.argv, (std::vector<std::string>{"dvips", "-R2", "-q", "-E", "-i", "-S", "1", "-o",
                                                  "page", "formula.dvi"}));
    EXPECT_FALSE(has(own.env_set, "TEXFONTMAPS=."));
}

}  // namespace
