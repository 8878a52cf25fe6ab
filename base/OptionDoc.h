#pragma once
// Command-line options as the documentation shows them, and the three ways
// they are shown: the plain text of --help, the OPTIONS section of a manual
// page (roff) and the option table of a help page (HTML). Each program builds
// its list from its own option table, so the three cannot drift apart.
//
// Descriptions are plain text in which `text` marks something to type
// literally (bold in the manual page, <code> in HTML, as it is in --help).
#include <map>
#include <string>
#include <vector>

namespace kvr::doc {

struct OptionDoc {
    std::string shortForm;    // "/D", "-h" or ""
    std::string longForm;     // "--download"
    std::string value;        // "FILE" or ""
    std::string description;
};

// "  /D, --download FILE" followed by the description, wrapped at 79 columns
// and indented by 8, one blank line between options.
std::string OptionsAsText(const std::vector<OptionDoc>& options);
// One ".TP" paragraph per option.
std::string OptionsAsRoff(const std::vector<OptionDoc>& options);
// Table rows <tr>...</tr>, one per option: short form, long form, value, meaning.
std::string OptionsAsHtml(const std::vector<OptionDoc>& options);

// Text with roff's special characters escaped (backslash, a leading dot or
// quote, "-" in option names) and `literal` spans set bold.
std::string RoffText(const std::string& text);
// Text with &, < and > escaped and `literal` spans as <code>.
std::string HtmlText(const std::string& text);
// The description without its `markers`.
std::string PlainText(const std::string& text);

// Replaces every @NAME@ of `text` whose NAME is a key of `values`; false with
// the name in *unknown when an @NAME@ (capital letters and '_') has no value.
bool FillTemplate(std::string& text, const std::map<std::string, std::string>& values, std::string* unknown);

}  // namespace kvr::doc
