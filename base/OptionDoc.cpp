#include "OptionDoc.h"

#include <cctype>

namespace kvr::doc {
namespace {

std::string Forms(const OptionDoc& o) {
    std::string s = o.shortForm;
    if (!o.longForm.empty()) s += (s.empty() ? "" : ", ") + o.longForm;
    if (!o.value.empty()) s += " " + o.value;
    return s;
}

// Words of `text` in lines of at most `width` characters after `indent`.
std::string Wrap(const std::string& text, std::size_t indent, std::size_t width) {
    std::string out, line;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = text.find_first_not_of(' ', pos);
        if (start == std::string::npos) break;
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += std::string(indent, ' ') + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        pos = end;
    }
    if (!line.empty()) out += std::string(indent, ' ') + line + "\n";
    return out;
}

// Calls plain(part) and literal(part) for the pieces of a `marked` text.
template <typename Plain, typename Literal>
std::string Marked(const std::string& text, Plain plain, Literal literal) {
    std::string out;
    bool inLiteral = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t tick = text.find('`', pos);
        if (tick == std::string::npos) tick = text.size();
        const std::string part = text.substr(pos, tick - pos);
        out += inLiteral ? literal(part) : plain(part);
        inLiteral = !inLiteral;
        pos = tick + 1;
    }
    return out;
}

std::string RoffEscape(const std::string& s, bool dashes) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\e";
        else if (c == '-' && dashes) out += "\\-";
        else out += c;
    }
    return out;
}

std::string HtmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

}  // namespace

std::string PlainText(const std::string& text) {
    return Marked(text, [](const std::string& p) { return p; }, [](const std::string& p) { return p; });
}

std::string RoffText(const std::string& text) {
    std::string out = Marked(
        text, [](const std::string& p) { return RoffEscape(p, false); },
        [](const std::string& p) { return "\\fB" + RoffEscape(p, true) + "\\fR"; });
    // A line must not start with a control character.
    std::string safe;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if ((i == 0 || out[i - 1] == '\n') && (out[i] == '.' || out[i] == '\'')) safe += "\\&";
        safe += out[i];
    }
    return safe;
}

std::string HtmlText(const std::string& text) {
    return Marked(
        text, [](const std::string& p) { return HtmlEscape(p); },
        [](const std::string& p) { return "<code>" + HtmlEscape(p) + "</code>"; });
}

std::string OptionsAsText(const std::vector<OptionDoc>& options) {
    std::string out;
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (i) out += "\n";
        out += "  " + Forms(options[i]) + "\n" + Wrap(PlainText(options[i].description), 8, 79);
    }
    return out;
}

std::string OptionsAsRoff(const std::vector<OptionDoc>& options) {
    std::string out;
    for (const OptionDoc& o : options) {
        out += ".TP\n";
        std::string forms;
        if (!o.shortForm.empty()) forms = "\\fB" + RoffEscape(o.shortForm, true) + "\\fR";
        if (!o.longForm.empty()) forms += (forms.empty() ? "" : ", ") + std::string("\\fB") + RoffEscape(o.longForm, true) + "\\fR";
        if (!o.value.empty()) forms += " \\fI" + RoffEscape(o.value, true) + "\\fR";
        out += forms + "\n" + RoffText(o.description) + "\n";
    }
    return out;
}

std::string OptionsAsHtml(const std::vector<OptionDoc>& options) {
    std::string out;
    auto code = [](const std::string& s) { return s.empty() ? std::string() : "<code>" + HtmlEscape(s) + "</code>"; };
    for (const OptionDoc& o : options) {
        out += "<tr><td>" + code(o.shortForm) + "</td><td>" + code(o.longForm) + "</td><td>" + HtmlEscape(o.value) +
               "</td>\n<td>" + HtmlText(o.description) + "</td></tr>\n";
    }
    return out;
}

bool FillTemplate(std::string& text, const std::map<std::string, std::string>& values, std::string* unknown) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t at = text.find('@', pos);
        if (at == std::string::npos) break;
        std::size_t end = at + 1;
        while (end < text.size() && (std::isupper(static_cast<unsigned char>(text[end])) || text[end] == '_')) ++end;
        if (end == at + 1 || end >= text.size() || text[end] != '@') {
            out += text.substr(pos, at + 1 - pos);
            pos = at + 1;
            continue;
        }
        const std::string name = text.substr(at + 1, end - at - 1);
        const auto it = values.find(name);
        if (it == values.end()) {
            if (unknown) *unknown = name;
            return false;
        }
        out += text.substr(pos, at - pos) + it->second;
        pos = end + 1;
    }
    out += text.substr(pos);
    text = out;
    return true;
}

}  // namespace kvr::doc
