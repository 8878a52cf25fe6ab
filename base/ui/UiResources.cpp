#include "UiResources.h"

#include "basDebug.h"
#include "basUtils.h"

namespace kvr {

namespace {
HelpOpener& Opener() {
    static HelpOpener opener;
    return opener;
}
}  // namespace

QString UiText(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string FromUi(const QString& text) { return text.toUtf8().toStdString(); }

QString WireText(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ResString(long id) { return LoadResStringWrapper(id); }

QString ResText(long id) { return UiText(ResString(id)); }

QPixmap ResPicture(long id) {
    QPixmap pm;
    const std::vector<std::uint8_t> bytes = LoadResPictureWrapper(id);
    if (!bytes.empty()) pm.loadFromData(bytes.data(), static_cast<uint>(bytes.size()));
    return pm;
}

void SetHelpOpener(HelpOpener opener) { Opener() = std::move(opener); }

void ShowHelp(const std::string& topic, QWidget* parent) {
    static const ModuleLog Log("frmHelp");
    if (Opener()) {
        Opener()(topic, parent);
        return;
    }
    Log("help topic '" + topic + "' requested; no help window is installed.", LEVEL_WATCH, "ShowHelp");
}

}  // namespace kvr
