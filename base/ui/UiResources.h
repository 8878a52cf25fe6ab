#pragma once
// The windows' view of the string table and the pictures: texts by identifier,
// pictures by identifier (overridable per language in pic/), and the text
// conversions at the window edge.
#include <functional>
#include <string>

#include <QPixmap>
#include <QString>

class QWidget;

namespace kvr {

// Pictures that ship with the program.
enum PictureId : long {
    PIC_PROGRAM_ICON = 100,
    PIC_BANNER = 101,
    PIC_SPLASH = 102,
    PIC_APPLICATION_MODE = 110,
    PIC_DOWNLOAD_MODE = 111,
    PIC_WIZARD_PAGE_BASE = 600,  // + page number 1..4
};

// String-table texts are UTF-8; texts that came from a device are Latin-1.
QString UiText(const std::string& text);
std::string FromUi(const QString& text);
QString WireText(const std::string& text);

// Text `id` of the user's language (empty when there is none).
std::string ResString(long id);
QString ResText(long id);

// Picture `id` (a null pixmap when there is none).
QPixmap ResPicture(long id);

// Help: opens the help page of `topic`. Until a help window is installed the
// request is logged, so the Help buttons already say what they would show.
using HelpOpener = std::function<void(const std::string& topic, QWidget* parent)>;
void SetHelpOpener(HelpOpener opener);
void ShowHelp(const std::string& topic, QWidget* parent = nullptr);

}  // namespace kvr
