// --doctor on Linux (and macOS, where fewer of the files exist).
#include "console/Doctor.h"

#include "console/PortList.h"
#include "console/UsbPortName.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

namespace fs = std::filesystem;

namespace {

// The udev rule that the suite ships: it tells ModemManager to leave the adapters alone
// and sets the FTDI latency timer to 1 ms.
const std::string UDEV_RULE = "packaging/udev/60-serial-service-suite.rules";
const std::string INSTALL_UDEV_RULE =
    "sudo cp " + UDEV_RULE + " /etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger";

const std::string MODEM_MANAGER = "ModemManager";

// The first line of a small file, without its line end; empty if unreadable.
std::string ReadLine(const fs::path& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool AllDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string OctalMode(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// "COMn" (either case, n >= 1) -> n; 0 for any other name. The engine's own reading of
// the name, which lives in the platform layer that this module does not need.
unsigned ComNumber(const std::string& name)
{
    if (name.size() < 4 || Lower(name.substr(0, 3)) != "com" || !AllDigits(name.substr(3)) || name.size() > 13)
        return 0;
    const unsigned long number = std::strtoul(name.c_str() + 3, nullptr, 10);
    return number > 0 && number <= 0xFFFFFFFFul ? static_cast<unsigned>(number) : 0;
}

// One entry of an /etc/group or /etc/passwd copy: the name and the fields after it.
struct GroupEntry {
    bool found = false;
    std::string name;
    std::vector<std::string> members;
};

std::vector<std::string> SplitColons(const std::string& line)
{
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ':'))
        fields.push_back(field);
    if (!line.empty() && line.back() == ':')
        fields.emplace_back();
    return fields;
}

GroupEntry FindGroup(const fs::path& root, bool system, gid_t gid)
{
    GroupEntry entry;
    std::ifstream file(root / "etc" / "group");
    for (std::string line; std::getline(file, line);) {
        const std::vector<std::string> fields = SplitColons(line);
        if (fields.size() < 3 || fields[2] != std::to_string(gid))
            continue;
        entry.found = true;
        entry.name = fields[0];
        if (fields.size() > 3) {
            std::istringstream members(fields[3]);
            for (std::string member; std::getline(members, member, ',');)
                entry.members.push_back(member);
        }
        return entry;
    }
    // The system's groups may come from elsewhere than /etc/group (a directory service).
    if (system) {
        if (const struct group* group = ::getgrgid(gid)) {
            entry.found = true;
            entry.name = group->gr_name;
            for (char** member = group->gr_mem; member && *member; ++member)
                entry.members.emplace_back(*member);
            return entry;
        }
    }
    entry.name = std::to_string(gid);
    return entry;
}

std::string UserName(const fs::path& root, bool system, uid_t uid)
{
    std::ifstream file(root / "etc" / "passwd");
    for (std::string line; std::getline(file, line);) {
        const std::vector<std::string> fields = SplitColons(line);
        if (fields.size() >= 3 && fields[2] == std::to_string(uid))
            return fields[0];
    }
    if (system)
        if (const struct passwd* user = ::getpwuid(uid))
            return user->pw_name;
    return std::to_string(uid);
}

// The numbered directories of ROOT/proc, with each process's name (its comm).
std::map<long, std::string> Processes(const fs::path& root)
{
    std::map<long, std::string> processes;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(root / "proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (AllDigits(name) && name.size() < 10)
            processes[std::stol(name)] = ReadLine(entry.path() / "comm");
    }
    return processes;
}

// What one run of the checks found and has to say.
class Doctor {
public:
    Doctor(const fs::path& root, bool system, std::FILE* out, const DoctorIdentity& identity)
        : m_root(root),
          m_system(system),
          m_out(out),
          m_identity(identity),
          m_processes(Processes(root))
    {
    }

    // The checks of one port, `name` as the user gave it; false if anything needs the user.
    bool Check(const std::string& name);

    void Line(const std::string& text) { std::fprintf(m_out, "%s\n", text.c_str()); }

private:
    struct Port {
        SerialPortInfo info;
        std::string path;     // the device node as named
        std::string ttyName;  // "ttyUSB0": its name in sys/class/tty
        struct stat node {};
    };

    bool CheckAccess(const Port& port);
    bool CheckHolders(const Port& port);
    bool CheckModemManager(const Port& port);
    bool CheckBrltty(const Port& port);
    bool CheckLatencyTimer(const Port& port);

    std::string DeviceNumbers(const Port& port) const;
    fs::path UsbDeviceDir(const Port& port) const;
    bool UdevIgnoredByModemManager(const std::string& deviceNumbers) const;

    fs::path m_root;
    bool m_system;  // the system itself, not a copy under a folder
    std::FILE* m_out;
    DoctorIdentity m_identity;
    std::map<long, std::string> m_processes;
};

bool Doctor::Check(const std::string& name)
{
    std::string path = name;
    if (const unsigned number = ComNumber(name)) {
        const std::string variable = "SUITE_COM" + std::to_string(number);
        const char* value = std::getenv(variable.c_str());
        if (value && *value) {
            path = value;
            Line(name + " is " + path + " (from $" + variable + ")");
        } else {
            path = "/dev/ttyS" + std::to_string(number - 1);
            Line(name + " is " + path + " (the default; set " + variable + " to choose another device)");
        }
    }
    // Under a root its dev/ stands for /dev/.
    if (!m_system && path.rfind("/dev/", 0) == 0)
        path = (m_root / path.substr(1)).string();

    const PortResolution resolution = ResolvePortName(path, m_system ? "" : m_root.string());
    if (!resolution.ok) {
        Line("problem: " + resolution.error);
        return false;
    }
    if (IsUsbPortName(name))
        Line(name + " is " + resolution.path);

    Port port;
    port.info = resolution.info;
    port.path = resolution.path;
    const std::vector<SerialPortInfo> listed = ListSerialPorts(m_system ? "" : m_root.string());
    const bool known = std::any_of(listed.begin(), listed.end(),
                                   [&](const SerialPortInfo& info) { return info.path == port.info.path; });
    Line("port: " + (known ? FormatPortLine(port.info) : port.path + "  (not among the serial ports listed)"));
    if (port.info.systemConsole) {
        Line("problem: the kernel writes its console to " + port.path +
             ", so it carries no device line; fix: name another port (--list-ports lists them)");
        return false;
    }

    if (::stat(port.path.c_str(), &port.node) != 0) {
        const int error = errno;
        Line("problem: " + port.path + ": " + std::strerror(error) +
             "; fix: " + (error == ENOENT ? "plug the adapter in, or " : "") +
             "name a port that is present (--list-ports lists them)");
        return false;
    }
    // In a copy of a system the device nodes are plain files.
    if (m_system && !S_ISCHR(port.node.st_mode)) {
        Line("problem: " + port.path + " is not a serial port; fix: name a port that is (--list-ports lists them)");
        return false;
    }
    std::error_code ec;
    const fs::path real = fs::canonical(port.path, ec);
    port.ttyName = (ec ? fs::path(port.path) : real).filename().string();

    bool ok = CheckAccess(port);
    ok = CheckHolders(port) && ok;
    ok = CheckModemManager(port) && ok;
    ok = CheckBrltty(port) && ok;
    ok = CheckLatencyTimer(port) && ok;
    return ok;
}

bool Doctor::CheckAccess(const Port& port)
{
    const mode_t mode = port.node.st_mode;
    const std::string& user = m_identity.userName;
    const GroupEntry group = FindGroup(m_root, m_system, port.node.st_gid);
    const bool owner = m_identity.uid == port.node.st_uid;
    const bool inGroup =
        m_identity.gid == port.node.st_gid ||
        std::find(m_identity.groups.begin(), m_identity.groups.end(), port.node.st_gid) != m_identity.groups.end();
    // The permission bits that apply, as the kernel picks them: the owner's, else the
    // group's, else everyone else's; root may open anything.
    const mode_t bits = owner ? (mode >> 6) & 7 : inGroup ? (mode >> 3) & 7 : mode & 7;
    const std::string facts = " (owner " + UserName(m_root, m_system, port.node.st_uid) + ", group " + group.name +
                              ", mode " + OctalMode(mode) + ")";
    if (m_identity.uid == 0 || (bits & 6) == 6) {
        Line("ok: " + user + " can read and write " + port.path + facts);
        return true;
    }

    const std::string problem = "problem: " + user + " cannot open " + port.path + facts;
    const std::string replug = " (until udev makes the node again: the next plug-in or boot)";
    if (owner) {
        Line(problem + ": its owner may not read and write it; fix: sudo chmod u+rw " + port.path + replug);
        return false;
    }
    if (port.node.st_gid == 0) {
        // Joining group root to reach one port would give far more than the port.
        Line(problem + "; fix: sudo chown " + user + " " + port.path + replug);
        return false;
    }
    std::string text = problem;
    std::vector<std::string> fixes;
    if (((mode >> 3) & 6) != 6) {
        text += ": its group may not read and write it";
        fixes.push_back("sudo chmod g+rw " + port.path + replug);
    }
    if (!inGroup) {
        const bool listed = std::find(group.members.begin(), group.members.end(), user) != group.members.end();
        if (listed) {
            text += std::string(fixes.empty() ? ": " : ", and ") + user + " was added to group " + group.name +
                    ", but this login does not have it yet";
            fixes.push_back("log out and in again (or run `newgrp " + group.name + "` in this shell)");
        } else {
            fixes.push_back("sudo usermod -aG " + group.name + " " + user + ", then log out and in again");
        }
    }
    text += "; fix: ";
    for (std::size_t i = 0; i < fixes.size(); ++i)
        text += (i ? "; then " : "") + fixes[i];
    Line(text);
    return false;
}

bool Doctor::CheckHolders(const Port& port)
{
    // The names a process's descriptor may show for this node: as named, where a link
    // leads, and for a copy of a system the same paths without the root.
    std::set<std::string> names = {port.path};
    std::error_code ec;
    const fs::path real = fs::canonical(port.path, ec);
    if (!ec)
        names.insert(real.string());
    if (!m_system) {
        const std::string prefix = m_root.string();
        for (const std::string& name : std::set<std::string>(names))
            if (name.rfind(prefix + "/", 0) == 0)
                names.insert(name.substr(prefix.size()));
    }

    bool ok = true;
    int hidden = 0;  // processes whose descriptors we may not look at
    for (const auto& [pid, comm] : m_processes) {
        if (pid == static_cast<long>(m_identity.pid))
            continue;
        std::error_code dirEc;
        fs::directory_iterator fds(m_root / "proc" / std::to_string(pid) / "fd", dirEc);
        if (dirEc) {
            hidden += dirEc == std::errc::permission_denied;
            continue;
        }
        for (const fs::directory_entry& fd : fds) {
            std::error_code linkEc;
            const fs::path target = fs::read_symlink(fd.path(), linkEc);
            if (linkEc || names.count(target.string()) == 0)
                continue;
            const std::string who = comm.empty() ? "it" : comm;
            Line("problem: " + port.path + " is held by process " + std::to_string(pid) + " (" +
                 (comm.empty() ? "no name" : comm) + "); fix: close " + who + ", or `kill " + std::to_string(pid) +
                 "`");
            ok = false;
            break;  // one line a process, however many descriptors it has
        }
    }
    if (ok)
        Line("ok: no other process has " + port.path + " open" +
             (hidden ? " (" + std::to_string(hidden) +
                           " processes of other users could not be looked at: run as root to see them too)"
                     : ""));
    return ok;
}

// "188:0": the device numbers of the port, from the node itself or, in a copy of a
// system whose nodes are plain files, from the tty's dev file in sysfs.
std::string Doctor::DeviceNumbers(const Port& port) const
{
#ifdef __linux__
    if (S_ISCHR(port.node.st_mode))
        return std::to_string(major(port.node.st_rdev)) + ":" + std::to_string(minor(port.node.st_rdev));
#endif
    return ReadLine(m_root / "sys" / "class" / "tty" / port.ttyName / "dev");
}

// The USB device above the tty in sysfs (the directory with idVendor); empty if none.
fs::path Doctor::UsbDeviceDir(const Port& port) const
{
    std::error_code ec;
    const fs::path device = fs::canonical(m_root / "sys" / "class" / "tty" / port.ttyName / "device", ec);
    if (ec)
        return {};
    for (fs::path dir = device; dir.has_relative_path() && dir != m_root; dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec))
            return dir;
        if (dir == dir.parent_path())
            break;
    }
    return {};
}

// The udev database entry of a char device ("E:ID_MM_DEVICE_IGNORE=1" among its lines)
// says that ModemManager is to leave it alone.
bool Doctor::UdevIgnoredByModemManager(const std::string& deviceNumbers) const
{
    if (deviceNumbers.empty())
        return false;
    std::ifstream data(m_root / "run" / "udev" / "data" / ("c" + deviceNumbers));
    for (std::string line; std::getline(data, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line == "E:ID_MM_DEVICE_IGNORE=1")
            return true;
    }
    return false;
}

bool Doctor::CheckModemManager(const Port& port)
{
    std::vector<long> pids;
    for (const auto& [pid, comm] : m_processes)
        if (comm == MODEM_MANAGER)
            pids.push_back(pid);
    if (pids.empty()) {
        Line("ok: ModemManager is not running");
        return true;
    }
    if (!port.info.usb) {
        Line("ok: ModemManager is running; " + port.path + " is no USB adapter, which it does not probe by default");
        return true;
    }
    // The property may sit on the tty or on the USB device above it.
    const fs::path usbDevice = UsbDeviceDir(port);
    if (UdevIgnoredByModemManager(DeviceNumbers(port)) ||
        (!usbDevice.empty() && UdevIgnoredByModemManager(ReadLine(usbDevice / "dev")))) {
        Line("ok: ModemManager is running and ignores " + port.path + " (ID_MM_DEVICE_IGNORE=1)");
        return true;
    }
    Line("warning: ModemManager (process " + std::to_string(pids.front()) + ") is running and does not ignore " +
         port.path +
         ": it probes new serial ports and corrupts the first bytes of a run; fix: install the suite's udev "
         "rule (" +
         INSTALL_UDEV_RULE + "), or sudo systemctl stop ModemManager");
    return false;
}

bool Doctor::CheckBrltty(const Port& port)
{
    bool installed = false;
    std::error_code ec;
    for (const char* place : {"usr/bin/brltty", "bin/brltty", "usr/sbin/brltty", "sbin/brltty"})
        installed = installed || fs::exists(m_root / place, ec);
    if (!installed) {
        Line("ok: brltty is not installed");
        return true;
    }
    if (!port.info.usb || port.info.vendorId.empty() || port.info.productId.empty()) {
        Line("ok: brltty is installed, but " + port.path + " is no USB adapter: its udev rules do not claim it");
        return true;
    }

    // The rules by name, as udev reads them: a file in /etc hides one of the same name in
    // /run, and that one the files in /lib (a link to /dev/null there masks a rule).
    std::map<std::string, fs::path> rules;
    for (const char* dir : {"etc/udev/rules.d", "run/udev/rules.d", "usr/lib/udev/rules.d", "lib/udev/rules.d"}) {
        for (const fs::directory_entry& entry : fs::directory_iterator(m_root / dir, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.find("brltty") != std::string::npos && entry.path().extension() == ".rules")
                rules.emplace(name, entry.path());
        }
    }
    // The ids as the rules write them: ENV{PRODUCT} has hex without leading zeros
    // ("1a86/7523/*"), ATTRS{idVendor} and ATTRS{idProduct} all four digits.
    auto trim = [](const std::string& id) {
        const std::size_t first = id.find_first_not_of('0');
        return first == std::string::npos ? std::string("0") : id.substr(first);
    };
    const std::string vendor = Lower(port.info.vendorId), product = Lower(port.info.productId);
    const std::string productKey = "\"" + trim(vendor) + "/" + trim(product) + "/";
    const std::string vendorAttr = "attrs{idvendor}==\"" + vendor + "\"";
    const std::string productAttr = "attrs{idproduct}==\"" + product + "\"";
    const std::string ids = port.info.vendorId + ":" + port.info.productId;
    for (const auto& [name, path] : rules) {
        std::ifstream file(path);
        int number = 0;
        for (std::string line; std::getline(file, line);) {
            ++number;
            const std::size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line[start] == '#')
                continue;
            const std::string text = Lower(line);
            if (text.find(productKey) == std::string::npos &&
                (text.find(vendorAttr) == std::string::npos || text.find(productAttr) == std::string::npos))
                continue;
            Line("warning: brltty is installed and its udev rule claims " + ids + " (" + path.string() + ", line " +
                 std::to_string(number) +
                 "): it takes the adapter for a braille display and holds the port or makes it vanish; fix: sudo apt "
                 "remove brltty (or mask the rule: sudo ln -s /dev/null /etc/udev/rules.d/" +
                 name + ")");
            return false;
        }
    }
    Line("ok: brltty is installed, but its udev rules do not claim " + ids);
    return true;
}

bool Doctor::CheckLatencyTimer(const Port& port)
{
    const std::string text = ReadLine(m_root / "sys" / "class" / "tty" / port.ttyName / "device" / "latency_timer");
    if (!AllDigits(text) || text.size() > 6) {
        Line("ok: no latency timer (not an FTDI adapter)");
        return true;
    }
    Line(DoctorLatencyLine(port.path, std::stol(text),
                           "install the suite's udev rule (" + INSTALL_UDEV_RULE + "), or for now: echo 1 | sudo tee " +
                               "/sys/bus/usb-serial/devices/" + port.ttyName + "/latency_timer"));
    return std::stol(text) <= LATENCY_TIMER_WARN_MS;
}

}  // namespace

DoctorIdentity ProcessIdentity()
{
    DoctorIdentity identity;
    identity.uid = ::geteuid();
    identity.gid = ::getegid();
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        identity.groups.resize(static_cast<std::size_t>(count));
        const int got = ::getgroups(count, identity.groups.data());
        identity.groups.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    if (const struct passwd* user = ::getpwuid(identity.uid))
        identity.userName = user->pw_name;
    else if (const char* name = std::getenv("USER"))
        identity.userName = name;
    else
        identity.userName = std::to_string(identity.uid);
    identity.pid = ::getpid();
    return identity;
}

int RunDoctor(const std::string& port, const std::string& rootText, std::FILE* out, const DoctorIdentity& identity)
{
    std::error_code ec;
    const bool system = rootText.empty();
    const fs::path root = system ? fs::path("/") : fs::weakly_canonical(fs::path(rootText), ec);
    Doctor doctor(root, system, out, identity);

    bool ok = true;
    if (!port.empty()) {
        ok = doctor.Check(port);
    } else {
        std::vector<SerialPortInfo> ports = ListSerialPorts(system ? "" : root.string());
        if (ports.empty()) {
            doctor.Line("problem: no serial ports found; fix: plug the adapter in (`dmesg | tail` shows what the "
                        "kernel made of it)");
            return 1;
        }
        std::stable_partition(ports.begin(), ports.end(), [](const SerialPortInfo& info) { return info.usb; });
        for (const SerialPortInfo& info : ports) {
            if (info.systemConsole) {
                doctor.Line("skipped: " + info.path + " (system console: not a device line)");
                continue;
            }
            ok = doctor.Check(info.path) && ok;
        }
    }
    std::fflush(out);
    return ok ? 0 : 1;
}

int RunDoctor(const std::string& port, const std::string& root, std::FILE* out)
{
    return RunDoctor(port, root, out, ProcessIdentity());
}
