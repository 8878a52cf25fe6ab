// kvrsim: simulated Zarn Adapters on a virtual segment or a real interface.
// Runs until SIGINT or SIGTERM. Commands on standard input (when there is one):
//   list | vanish MAC | appear MAC | move MAC SEGMENT | download MAC on|off | quit
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "sim/DeviceOptions.h"
#include "sim/QfwMaker.h"
#include "sim/SimOptions.h"
#include "sim/Simulator.h"

using namespace kvr::sim;

namespace {

std::mutex g_out;

void Say(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_out);
    std::cout << line << '\n' << std::flush;
}

void PrintDevice(const Simulator& sim, const Mac& mac) {
    DeviceState s = sim.State(mac);
    Say("  " + MacText(mac) + "  '" + s.name + "'  " + (s.downloadMode ? "download mode" : "application") +
        (s.restarting ? " (restarting)" : "") + "  firmware " + std::to_string(static_cast<std::int32_t>(s.firmwareId)) +
        "." + std::to_string(static_cast<std::int32_t>(s.firmwareVersion)) + "  " +
        (s.attached ? "on " + s.segment : "vanished"));
}

void Command(Simulator& sim, const std::string& line, bool& quit) {
    std::istringstream in(line);
    std::string cmd, macText, arg;
    in >> cmd >> macText >> arg;
    if (cmd.empty()) return;
    if (cmd == "quit" || cmd == "exit") {
        quit = true;
        return;
    }
    if (cmd == "list") {
        for (const Mac& m : sim.Devices()) PrintDevice(sim, m);
        return;
    }
    auto mac = ParseMac(macText);
    if (!mac) {
        Say("kvrsim: '" + cmd + "' needs a device address, e.g. " + cmd + " 00:07:F5:D0:00:01");
        return;
    }
    bool ok = false;
    std::string err = "no such device";
    if (cmd == "vanish") {
        ok = sim.Vanish(*mac);
    } else if (cmd == "appear") {
        ok = sim.Appear(*mac);
    } else if (cmd == "move") {
        ok = !arg.empty() && sim.MoveToSegment(*mac, arg, &err);
        if (arg.empty()) err = "move needs a segment name";
    } else if (cmd == "download") {
        if (arg != "on" && arg != "off") err = "download takes on or off";
        else ok = sim.SetDownloadMode(*mac, arg == "on");
    } else {
        Say("kvrsim: unknown command '" + cmd + "'");
        return;
    }
    if (ok) PrintDevice(sim, *mac);
    else Say("kvrsim: " + cmd + " " + macText + " failed: " + err);
}

}  // namespace

int main(int argc, char** argv) {
    SimConfig cfg;
    bool demo = false;
    std::vector<std::string> specs;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "kvrsim: " << a << " needs " << what << "\n" << SimUsage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::cout << SimUsage();
            return 0;
        } else if (a == "--make-qfw") {
            const std::string out = value("an output file name");
            QfwSpec spec;
            std::string err;
            if (!ParseQfwFields(std::vector<std::string>(argv + i + 1, argv + argc), spec, &err)) {
                std::cerr << "kvrsim: --make-qfw: " << err << "\n" << QfwFieldsHelp();
                return 2;
            }
            const std::vector<std::uint8_t> file = MakeQfw(spec);
            if (!WriteQfwFile(out, file, &err)) {
                std::cerr << "kvrsim: --make-qfw: " << err << "\n";
                return 1;
            }
            std::cout << "kvrsim: wrote " << out << " (" << file.size() << " bytes, version "
                      << static_cast<std::int32_t>(spec.swid) << "." << static_cast<std::int32_t>(spec.swVersion)
                      << ", hardware " << spec.hardwareId << " up to version " << spec.compatibleHardwareVersion
                      << ")\n";
            return 0;
        } else if (a == "--segment") {
            cfg.segment = value("a segment name");
        } else if (a == "--interface") {
            cfg.interfaceName = value("an interface name");
        } else if (a == "--device") {
            specs.push_back(value("a device description"));
        } else if (a == "--config") {
            std::string path = value("a file name");
            std::ifstream f(path);
            if (!f) {
                std::cerr << "kvrsim: cannot read config file '" << path << "'\n";
                return 2;
            }
            std::stringstream text;
            text << f.rdbuf();
            std::string err;
            if (!ParseConfigText(text.str(), cfg, &err)) {
                std::cerr << "kvrsim: " << path << ", " << err << "\n";
                return 2;
            }
        } else if (a == "--demo") {
            demo = true;
        } else if (a == "--log") {
            cfg.log = true;
        } else {
            std::cerr << "kvrsim: unknown option '" << a << "'\n" << SimUsage();
            return 2;
        }
    }
    if (demo)
        for (const DeviceConfig& d : DemoDevices()) cfg.devices.push_back(d);
    for (const std::string& spec : specs) {
        DeviceConfig d;
        d.mac = AutoMac(static_cast<unsigned>(cfg.devices.size() + 1));
        std::string err;
        if (!ParseDeviceOptions(spec, d, &err)) {
            std::cerr << "kvrsim: --device \"" << spec << "\": " << err << "\n";
            return 2;
        }
        cfg.devices.push_back(d);
    }
    if (!cfg.segment.empty() && !cfg.interfaceName.empty()) {
        std::cerr << "kvrsim: give either --segment or --interface, not both\n";
        return 2;
    }
    if (cfg.devices.empty()) {
        std::cerr << "kvrsim: no devices; use --demo, --device or --config\n" << SimUsage();
        return 2;
    }
    if (cfg.segment.empty() && cfg.interfaceName.empty()) cfg.segment = "demo";

    // SIGINT and SIGTERM are taken by a signalfd; block them before any thread starts.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int sfd = signalfd(-1, &mask, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    Simulator sim;
    for (const DeviceConfig& d : cfg.devices) {
        std::string err;
        if (!sim.AddDevice(d, &err)) {
            std::cerr << "kvrsim: device " << MacText(d.mac) << ": " << err << "\n";
            return 2;
        }
    }
    sim.SetFrameLogging(false);  // the in-memory log is for in-process tests
    if (cfg.log) {
        sim.SetFrameLogSink([](const std::string& line) { Say(line); });
    }
    std::string err;
    bool started = cfg.interfaceName.empty() ? sim.StartOnSegment(cfg.segment, &err)
                                             : sim.StartOnInterface(cfg.interfaceName, &err);
    if (!started) {
        std::cerr << "kvrsim: " << err << "\n";
        return 1;
    }
    Say("kvrsim: " + std::to_string(cfg.devices.size()) + " device(s) on " +
        (cfg.interfaceName.empty() ? "segment '" + cfg.segment + "'" : "interface '" + cfg.interfaceName + "'") +
        "; stop with Ctrl+C");
    for (const Mac& m : sim.Devices()) PrintDevice(sim, m);

    bool stdinOpen = true;
    bool quit = false;
    std::string pending;
    while (!quit) {
        pollfd fds[2] = {{sfd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int n = poll(fds, stdinOpen ? 2 : 1, -1);
        if (n < 0) continue;
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            ssize_t r = read(sfd, &info, sizeof info);
            (void)r;
            break;
        }
        if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[512];
            ssize_t r = read(STDIN_FILENO, buf, sizeof buf);
            if (r <= 0) {
                stdinOpen = false;  // no more commands; keep running until a signal
                continue;
            }
            pending.append(buf, static_cast<std::size_t>(r));
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                Command(sim, line, quit);
            }
            if (pending.size() > 4096) pending.clear();
        }
    }
    sim.Stop();
    Say("kvrsim: stopped");
    return 0;
}
