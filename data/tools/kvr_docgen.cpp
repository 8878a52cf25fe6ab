// Build-time generator of the documents made from the option tables:
//   kvr_docgen man-program <template> <out>   KVRinstaller(1)
//   kvr_docgen man-sim     <template> <out>   kvrsim(1)
//   kvr_docgen help-page   <template> <out>   the command-line help page
// The template's @OPTIONS@ becomes the options in the document's form,
// @VERSION@ the program's version, @DEVICE_KEYS@ and @QFW_FIELDS@ kvrsim's
// device keys and firmware file fields, @EXIT_STATUS@ the program's exit
// statuses.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>

#include "CommandLineHelp.h"
#include "ExitStatus.h"
#include "OptionDoc.h"
#include "sim/DeviceOptions.h"
#include "sim/QfwMaker.h"
#include "sim/SimOptions.h"

#ifndef KVR_VERSION_TEXT
#define KVR_VERSION_TEXT "0.0.0"
#endif

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: kvr_docgen man-program|man-sim|help-page <template> <out>\n";
        return 2;
    }
    const std::string kind = argv[1];
    std::ifstream in(argv[2], std::ios::binary);
    if (!in) {
        std::cerr << "kvr_docgen: cannot read '" << argv[2] << "'\n";
        return 1;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    std::map<std::string, std::string> values{{"VERSION", KVR_VERSION_TEXT}};
    std::string roffStatus, htmlStatus;  // the program's exit statuses
    for (const auto& d : kvr::ExitStatusDocs()) {
        const std::string n = std::to_string(kvr::ToInt(d.status));
        roffStatus += ".TP\n.B " + n + "\n" + kvr::doc::RoffText(d.description) + "\n";
        htmlStatus += "<tr><td>" + n + "</td><td>" + kvr::doc::HtmlText(d.description) + "</td></tr>\n";
    }
    if (kind == "man-program") {
        values["OPTIONS"] = kvr::doc::OptionsAsRoff(kvr::ProgramOptionDocs());
        values["EXIT_STATUS"] = roffStatus;
    } else if (kind == "man-sim") {
        values["OPTIONS"] = kvr::doc::OptionsAsRoff(kvr::sim::SimOptionDocs());
        values["DEVICE_KEYS"] = kvr::doc::RoffText(kvr::sim::DeviceOptionsHelp());
        values["QFW_FIELDS"] = kvr::doc::RoffText(kvr::sim::QfwFieldsHelp());
    } else if (kind == "help-page") {
        values["OPTIONS"] = kvr::doc::OptionsAsHtml(kvr::ProgramOptionDocs());
        values["EXIT_STATUS"] = htmlStatus;
    } else {
        std::cerr << "kvr_docgen: unknown kind '" << kind << "'\n";
        return 2;
    }
    std::string unknown;
    if (!kvr::doc::FillTemplate(text, values, &unknown)) {
        std::cerr << "kvr_docgen: " << argv[2] << ": no value for @" << unknown << "@\n";
        return 1;
    }
    const std::string tmp = std::string(argv[3]) + ".part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            std::cerr << "kvr_docgen: cannot write '" << tmp << "'\n";
            return 1;
        }
    }
    if (std::rename(tmp.c_str(), argv[3]) != 0) {
        std::cerr << "kvr_docgen: cannot write '" << argv[3] << "'\n";
        return 1;
    }
    return 0;
}
