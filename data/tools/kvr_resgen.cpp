// Build-time generator for the program's resources.
//   kvr_resgen strings  <strings.tsv> <out.cpp>
//   kvr_resgen pictures <out.cpp> [<id>.png ...]
//   kvr_resgen database <strings.tsv> <out.mdb>
// strings.tsv: one "identifier TAB text" per line; blank lines and lines
// starting with '#' are skipped; the text may use the escapes \t, \n and \\.
#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& text) {
    std::cerr << "kvr_resgen: " << text << "\n";
    std::exit(1);
}

std::string Unescape(const std::string& s, const std::string& where) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out.push_back(s[i]);
            continue;
        }
        if (++i == s.size()) Fail(where + ": lone backslash at end of text");
        switch (s[i]) {
            case 't': out.push_back('\t'); break;
            case 'n': out.push_back('\n'); break;
            case '\\': out.push_back('\\'); break;
            default: Fail(where + ": unknown escape \\" + std::string(1, s[i]));
        }
    }
    return out;
}

std::map<long, std::string> ReadStrings(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail("cannot read " + path);
    std::map<long, std::string> rows;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string where = path + ":" + std::to_string(lineNo);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const auto tab = line.find('\t');
        if (tab == std::string::npos) Fail(where + ": no TAB between identifier and text");
        const std::string idText = line.substr(0, tab);
        char* end = nullptr;
        errno = 0;
        const long id = std::strtol(idText.c_str(), &end, 10);
        if (idText.empty() || *end != '\0' || errno != 0 || id <= 0 || id > 32767)
            Fail(where + ": identifier '" + idText + "' is not a number from 1 to 32767");
        if (!rows.emplace(id, Unescape(line.substr(tab + 1), where)).second)
            Fail(where + ": identifier " + idText + " appears twice");
    }
    if (rows.empty()) Fail(path + " holds no strings");
    return rows;
}

std::string CppLiteral(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        }
    }
    return out + "\"";
}

void WriteIfChanged(const std::string& path, const std::string& text) {
    std::ifstream old(path, std::ios::binary);
    if (old) {
        const std::string had((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
        if (had == text) return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) Fail("cannot write " + path);
}

void GenStrings(const std::string& tsv, const std::string& outPath) {
    const auto rows = ReadStrings(tsv);
    std::ostringstream o;
    o << "// Generated from strings.tsv. Do not edit.\n#include \"kvr_resources.h\"\n\n"
         "#include <algorithm>\n#include <iterator>\n\nnamespace {\nstruct Entry {\n    long id;\n"
         "    const char* text;\n};\nconstexpr Entry kStrings[] = {\n";
    for (const auto& [id, text] : rows) o << "    {" << id << ", " << CppLiteral(text) << "},\n";
    o << "};\n}  // namespace\n\nnamespace kvr::res {\nconst char* BuiltinString(long id) {\n"
         "    const auto* it = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,\n"
         "                                      [](const Entry& e, long v) { return e.id < v; });\n"
         "    return (it != std::end(kStrings) && it->id == id) ? it->text : nullptr;\n}\n}  // namespace kvr::res\n";
    WriteIfChanged(outPath, o.str());
}

void GenPictures(const std::string& outPath, const std::vector<std::string>& files) {
    std::map<long, std::string> pics;
    for (const auto& f : files) {
        const std::filesystem::path p(f);
        const std::string stem = p.stem().string();
        char* end = nullptr;
        const long id = std::strtol(stem.c_str(), &end, 10);
        if (stem.empty() || *end != '\0' || id <= 0) Fail(f + ": picture file name must be <identifier>.png");
        std::ifstream in(f, std::ios::binary);
        if (!in) Fail("cannot read " + f);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.size() < 8 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) Fail(f + " is not a PNG file");
        if (!pics.emplace(id, std::move(bytes)).second) Fail(f + ": identifier appears twice");
    }
    std::ostringstream o;
    o << "// Generated from pic/builtin. Do not edit.\n#include \"kvr_resources.h\"\n\nnamespace {\n";
    for (const auto& [id, bytes] : pics) {
        o << "const unsigned char kPic" << id << "[] = {";
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (i % 20 == 0) o << "\n   ";
            o << ' ' << static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << ',';
        }
        o << "\n};\n";
    }
    o << "}  // namespace\n\nnamespace kvr::res {\nPictureBytes BuiltinPicture(long id) {\n    switch (id) {\n";
    for (const auto& [id, bytes] : pics)
        o << "        case " << id << ": return {kPic" << id << ", sizeof kPic" << id << "};\n";
    o << "        default: return {};\n    }\n}\n}  // namespace kvr::res\n";
    WriteIfChanged(outPath, o.str());
}

void Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string text = err ? err : "unknown error";
        sqlite3_free(err);
        Fail(std::string("SQL failed: ") + sql + ": " + text);
    }
}

void GenDatabase(const std::string& tsv, const std::string& outPath) {
    const auto rows = ReadStrings(tsv);
    const std::string tmp = outPath + ".tmp";
    std::filesystem::remove(tmp);
    sqlite3* db = nullptr;
    if (sqlite3_open(tmp.c_str(), &db) != SQLITE_OK) Fail("cannot create " + tmp);
    Exec(db, "PRAGMA journal_mode=DELETE");
    Exec(db, "BEGIN");
    Exec(db,
         "CREATE TABLE tblSettings (ID INTEGER PRIMARY KEY, strAppName TEXT COLLATE NOCASE, "
         "strSection TEXT COLLATE NOCASE, strKeyName TEXT COLLATE NOCASE, strValue TEXT)");
    Exec(db, "CREATE INDEX idxSettingsKey ON tblSettings (strAppName, strSection, strKeyName)");
    Exec(db,
         "CREATE TABLE tblStatus (ID INTEGER PRIMARY KEY, lngRuntime INTEGER, Level INTEGER, "
         "Message TEXT, strModule TEXT)");
    for (const char* table : {"tblDefaultStrings", "tblEnglishStrings"}) {
        Exec(db, (std::string("CREATE TABLE ") + table + " (ID INTEGER PRIMARY KEY, String1 TEXT)").c_str());
        sqlite3_stmt* st = nullptr;
        const std::string sql = std::string("INSERT INTO ") + table + " (ID, String1) VALUES (?, ?)";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) Fail("prepare failed");
        for (const auto& [id, text] : rows) {
            sqlite3_bind_int64(st, 1, id);
            sqlite3_bind_text(st, 2, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(st) != SQLITE_DONE) Fail(std::string("insert failed: ") + sqlite3_errmsg(db));
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
    }
    Exec(db, "COMMIT");
    if (sqlite3_close(db) != SQLITE_OK) Fail("cannot close " + tmp);
    std::filesystem::rename(tmp, outPath);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "strings") {
        GenStrings(args[1], args[2]);
    } else if (args.size() >= 2 && args[0] == "pictures") {
        GenPictures(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    } else if (args.size() == 3 && args[0] == "database") {
        GenDatabase(args[1], args[2]);
    } else {
        Fail("usage: kvr_resgen strings TSV OUT.cpp | pictures OUT.cpp PNG... | database TSV OUT.mdb");
    }
    return 0;
}
