// The command lines and environments of latex, dvips and Ghostscript.
// Pure: they only describe the runs, which the stages make.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "postscript.h"
#include "process.h"
#include "work_directory.h"

// The TeX search path for a run: our own document first, then the output
// directory (where a user's macro files are), then the caller's TEXINPUTS
// (none: unset), its relative entries read relative to the output directory.
std::string tex_inputs(const std::string& absolute_work_dir,
                       const std::optional<std::string>& caller);

// latex on the document: reads only below the output directory, writes
// only in the private directory, runs no shell command.
child_spec latex_invocation(const work_area& area, const std::optional<std::string>& texinputs);

// dvips to Encapsulated PostScript, without shell commands or absolute and
// parent-directory names in specials.
child_spec dvips_invocation(const work_area& area, const std::optional<std::string>& texinputs);

// dvips writing each page of a document of many pages as an Encapsulated
// PostScript file of its own ("page001", "page002", ...), each with the box
// and origin a document of that page alone would get. With a font map
// (`font_map`, the name of a file in the private directory), dvips reads it
// instead of its own.
child_spec dvips_pages_invocation(const work_area& area,
                                  const std::optional<std::string>& texinputs,
                                  const std::string& font_map = "");

// kpsewhich printing, into the file `answer`, the path of the font map that
// dvips reads.
child_spec font_map_lookup_invocation(const work_area& area,
                                      const std::optional<std::string>& texinputs,
                                      const std::string& answer);

// A dvips font map with every font's files left out: each font stays known
// by the same names, with the same metrics, but is taken as resident in the
// printer, so dvips copies no font into its output. Comment lines are kept.
std::string resident_font_map(const std::string& map);

// Ghostscript rendering the PostScript file of the box twice in one run, on
// a page of the given geometry (margins included) whose height without
// margins is page_height: the image into "-1.png" and the baseline mark
// alone into "-2.png".
child_spec gs_invocation(const work_area& area, const render_geometry& geometry,
                         const bounding_box& box, int32_t page_height,
                         const page_margins& margins);

// The image alone at n times the resolution, on the 1x pixel grid, into
// ".hidpi.png".
child_spec gs_hidpi_invocation(const work_area& area, const render_geometry& geometry,
                               const bounding_box& box, int32_t page_height,
                               const page_margins& margins, int32_t n);

// dvips writing the whole document as one PostScript file ("formula.ps"),
// fonts once, each page with the origin its own file above has.
child_spec dvips_document_invocation(const work_area& area,
                                     const std::optional<std::string>& texinputs);

// Ghostscript rendering the pages of that file in one run at resolution r,
// each page placed by the table in "pages.ps" (page_table_code): the images
// of pages 1..n into the work files "-1.png" .. "-<n>.png", their marks
// into "-<n+1>.png" .. "-<2n>.png".
child_spec gs_pages_invocation(const work_area& area, int32_t r);

// The caller's TEXINPUTS, if set.
std::optional<std::string> caller_texinputs();
