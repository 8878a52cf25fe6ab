// A Qt "generic" plugin, as any local user could name one through
// QT_PLUGIN_PATH and QT_QPA_GENERIC_PLUGINS: when a program loads it, it
// appends that process's capability sets (the Cap lines of /proc/self/status)
// to the file KVR_CAPPROBE_FILE names. Checks use it to show that the windowed
// program runs without any capability.
#include <QGenericPlugin>
#include <QObject>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const bool g_recorded = [] {
    const char* file = std::getenv("KVR_CAPPROBE_FILE");
    if (!file) return false;
    std::ifstream in("/proc/self/status");
    std::ofstream out(file, std::ios::app);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Cap", 0) == 0) out << line << '\n';
    return true;
}();

}  // namespace

class CapProbePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "capprobe.json")
public:
    QObject* create(const QString&, const QString&) override { return nullptr; }
};

#include "CapProbe.moc"
