// --doctor over a copy of a system: an FTDI adapter (0403:6001) at 1-1.2 as ttyUSB0 and
// a CH340 (1a86:7523) at 1-1.3 as ttyUSB1, their nodes of group "dialout" (the gid the
// nodes really have), and a user "alice" whose identity the tests choose. One test runs
// over the real /proc, with a pseudo-terminal this process holds.
#include "console/Doctor.h"
#include "SysfsTree.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string HUB = "pci0000:00/0000:00:14.0/usb1/1-1/";
const uid_t NODE_OWNER_AS_ROOT = 4321;
const gid_t NODE_GROUP_AS_ROOT = 4320;

struct Report {
    int status = -1;
    std::string text;
};

void Has(const Report& report, const std::string& piece)
{
    EXPECT_NE(report.text.find(piece), std::string::npos) << "wanted: " << piece << "\nin:\n" << report.text;
}

Report RunOver(const std::string& port, const std::string& root, const DoctorIdentity& identity)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    Report report;
    report.status = RunDoctor(port, root, out, identity);
    std::fclose(out);
    report.text.assign(buffer, size);
    std::free(buffer);
    return report;
}

class DoctorCheck : public SysfsTree {
protected:
    void SetUp() override
    {
        SysfsTree::SetUp();
        Adapter("ttyUSB0", "1-1.2", "0403", "6001", "A50285BI", "ftdi_sio", "188:0");
        Adapter("ttyUSB1", "1-1.3", "1a86", "7523", "", "ch341-uart", "188:1");
        Write(m_root / "sys/devices" / HUB / "1-1.2/1-1.2:1.0/ttyUSB0/latency_timer", "1");
        struct stat node {};
        ASSERT_EQ(::stat(Dev("ttyUSB0").c_str(), &node), 0);
        m_nodeGid = node.st_gid;
        // The nodes belong to this process's user; "alice" is someone else, in dialout.
        Write(m_root / "etc/passwd", "uucp:x:" + std::to_string(node.st_uid) + ":0::/:/bin/sh");
        Group("");
        m_alice.uid = node.st_uid + 1;
        m_alice.gid = node.st_gid + 1;
        m_alice.groups = {node.st_gid};
        m_alice.userName = "alice";
    }

    void Adapter(const std::string& tty, const std::string& place, const std::string& vendorId,
                 const std::string& productId, const std::string& serial, const std::string& driver,
                 const std::string& numbers)
    {
        Tty(tty, HUB + place + "/" + place + ":1.0/" + tty, driver);
        UsbDevice(HUB + place, vendorId, productId, serial);
        Write(m_root / "sys/class/tty" / tty / "dev", numbers);
        Node(tty);
    }

    // A node of mode 0660. Run as root, the nodes would belong to group root, which no
    // one is told to join: they are given to others.
    void Node(const std::string& tty)
    {
        MakeNode(tty);
        fs::permissions(Dev(tty), fs::perms(0660));
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(Dev(tty).c_str(), NODE_OWNER_AS_ROOT, NODE_GROUP_AS_ROOT), 0);
        }
    }

    void Group(const std::string& members)
    {
        Write(m_root / "etc/group", "dialout:x:" + std::to_string(m_nodeGid) + ":" + members);
    }

    Report Check(const std::string& port) { return RunOver(port, m_root.string(), m_alice); }

    gid_t m_nodeGid = 0;
    DoctorIdentity m_alice;
};

TEST_F(DoctorCheck, AnFtdiAdapterAtOneMsPassesEveryCheckAndAt16MsCostsAWholeWriteSeconds)
{
    const std::string usb0 = Dev("ttyUSB0");
    Report r = Check(usb0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.text,
              "port: " + usb0 + "  USB 0403:6001  serial A50285BI  at 1-1.2  driver ftdi_sio  latency 1 ms  names " +
                  "usb:0403:6001:A50285BI " + "usb-path:1-1.2\nok: alice can read and write " + usb0 +
                  " (owner uucp, group dialout, " + "mode 0660)\nok: no other process has " + usb0 +
                  " open\nok: ModemManager is not running\n" + "ok: brltty is not installed\nok: latency timer 1 ms\n");

    Write(m_root / "sys/devices" / HUB / "1-1.2/1-1.2:1.0/ttyUSB0/latency_timer", "16");
    r = Check("usb:A50285BI");
    EXPECT_EQ(r.status, 1);
    Has(r, "usb:A50285BI is " + usb0 + "\nport: " + usb0);
    Has(r, "\nwarning: the latency timer of " + usb0 + " is 16 ms: every reply can wait that long, and a whole " +
               "Quarrow write has 16,401 replies: 16 ms × 16,401 = 262.4 s; fix: install the suite's udev rule (sudo " +
               "cp packaging/udev/60-serial-service-suite.rules /etc/udev/rules.d/ && sudo udevadm control --reload " +
               "&& sudo udevadm trigger), or for now: echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/" +
               "latency_timer\n");
    Has(Check(Dev("ttyUSB1")), "ok: no latency timer (not an FTDI adapter)\n");
}

TEST_F(DoctorCheck, AUserWhoCannotOpenThePortIsToldWhyAndHowToGetIn)
{
    const std::string usb0 = Dev("ttyUSB0"),
                      problem = "problem: alice cannot open " + usb0 + " (owner uucp, group dialout, mode ";
    m_alice.groups.clear();
    Report r = Check(usb0);
    EXPECT_EQ(r.status, 1);
    Has(r, problem + "0660); fix: sudo usermod -aG dialout alice, then log out and in again\n");

    // Added to the group since this login began: the group file lists alice, the login lacks it.
    Group("bob,alice");
    r = Check(usb0);
    EXPECT_EQ(r.status, 1);
    Has(r, problem + "0660): alice was added to group dialout, but this login does not have it yet; fix: log out " +
               "and in again (or run `newgrp dialout` in this shell)\n");

    // Only the owner may: joining the group is not enough.
    Group("");
    fs::permissions(usb0, fs::perms(0600));
    Has(Check(usb0), problem + "0600): its group may not read and write it; fix: sudo chmod g+rw " + usb0 +
                         " (until udev makes the node again: the next plug-in or boot); then sudo usermod -aG " +
                         "dialout alice, then log out and in again\n");
    // The owner's bits are the owner's, even where the group's would let it in.
    m_alice.uid = m_alice.uid - 1;
    fs::permissions(usb0, fs::perms(0060));
    Has(Check(usb0), "its owner may not read and write it; fix: sudo chmod u+rw " + usb0);
    fs::permissions(usb0, fs::perms(0600));
    EXPECT_EQ(Check(usb0).status, 0);
}

TEST_F(DoctorCheck, AMissingPortEndsItsChecks)
{
    fs::remove(Dev("ttyUSB0"));
    const Report r = Check("/dev/ttyUSB0");  // under a root, its dev/
    EXPECT_EQ(r.status, 1);
    Has(r, "problem: " + Dev("ttyUSB0") + ": No such file or directory; fix: plug the adapter in, or name a port " +
               "that is present (--list-ports lists them)\n");
    EXPECT_EQ(r.text.find("ok: "), std::string::npos);
    Has(Check("usb:NOSUCH"), "problem: no USB serial adapter matches usb:NOSUCH");
}

TEST_F(DoctorCheck, AProcessThatHoldsThePortIsNamedButNeverThisOne)
{
    const std::string usb0 = Dev("ttyUSB0");
    fs::create_directories(m_root / "proc/4242/fd");
    Write(m_root / "proc/4242/comm", "minicom");
    fs::create_symlink(usb0, m_root / "proc/4242/fd/3");
    fs::create_symlink(usb0, m_root / "proc/4242/fd/4");
    fs::create_directories(m_root / "proc/77/fd");
    Write(m_root / "proc/77/comm", "screen");
    fs::create_symlink("/dev/ttyUSB0", m_root / "proc/77/fd/5");  // as a copied /proc shows it
    const Report r = Check(usb0);
    EXPECT_EQ(r.status, 1);
    Has(r, "\nproblem: " + usb0 + " is held by process 77 (screen); fix: close screen, or `kill 77`\nproblem: " + usb0 +
               " is held by process 4242 (minicom); fix: close minicom, or `kill 4242`\nok: ModemManager");

    fs::remove_all(m_root / "proc/77");
    m_alice.pid = 4242;
    EXPECT_EQ(Check(usb0).status, 0);
}

TEST_F(DoctorCheck, ThisProcessHoldingARealPseudoTerminalIsFoundInProc)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string pty = ::ptsname(master);
    const int fd = ::open(pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    DoctorIdentity self = ProcessIdentity();
    self.pid = 0;  // nobody skipped
    const Report r = RunOver(pty, "", self);
    EXPECT_EQ(r.status, 1);
    Has(r,
        "port: " + pty + "  (not among the serial ports listed)\nok: " + self.userName + " can read and write " + pty);
    Has(r, "\nproblem: " + pty + " is held by process " + std::to_string(::getpid()) + " (");
    Has(RunOver(pty, "", ProcessIdentity()), "\nok: no other process has " + pty + " open");
    ::close(fd);
    ::close(master);
}

TEST_F(DoctorCheck, ARunningModemManagerMustIgnoreTheAdapter)
{
    const std::string usb1 = Dev("ttyUSB1");
    Write(m_root / "proc/812/comm", "ModemManager");
    Report r = Check(usb1);
    EXPECT_EQ(r.status, 1);
    Has(r, "\nwarning: ModemManager (process 812) is running and does not ignore " + usb1 + ": it probes new " +
               "serial ports and corrupts the first bytes of a run; fix: install the suite's udev rule (sudo cp " +
               "packaging/udev/60-serial-service-suite.rules /etc/udev/rules.d/ && sudo udevadm control --reload " +
               "&& sudo udevadm trigger), or sudo systemctl stop ModemManager\n");

    // The tty's own udev record marks it; another tty's record is no help.
    Write(m_root / "run/udev/data/c188:0", "E:ID_MM_DEVICE_IGNORE=1");
    EXPECT_EQ(Check(usb1).status, 1);
    Write(m_root / "run/udev/data/c188:1", "I:123\nE:ID_VENDOR_ID=1a86\nE:ID_MM_DEVICE_IGNORE=1\nG:systemd");
    r = Check(usb1);
    EXPECT_EQ(r.status, 0);
    Has(r, "\nok: ModemManager is running and ignores " + usb1 + " (ID_MM_DEVICE_IGNORE=1)\n");
    // Or the record of the USB device above the tty.
    fs::remove(m_root / "run/udev/data/c188:0");
    EXPECT_EQ(Check(Dev("ttyUSB0")).status, 1);
    Write(m_root / "sys/devices" / HUB / "1-1.2/dev", "189:1");
    Write(m_root / "run/udev/data/c189:1", "E:ID_MM_DEVICE_IGNORE=1");
    EXPECT_EQ(Check(Dev("ttyUSB0")).status, 0);
}

TEST_F(DoctorCheck, BrlttyRulesThatClaimTheAdapterAreNamed)
{
    const std::string rule = (m_root / "usr/lib/udev/rules.d/85-brltty.rules").string();
    Write(m_root / "usr/bin/brltty", "");
    Write(rule, "# ENV{PRODUCT}==\"403/6001/*\", GOTO=\"brltty_usb_run\"\n"
                "ENV{PRODUCT}==\"403/6010/*\", GOTO=\"brltty_usb_run\"\n"
                "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", GOTO=\"brltty_usb_run\"");
    const Report r = Check(Dev("ttyUSB1"));
    EXPECT_EQ(r.status, 1);
    Has(r, "\nwarning: brltty is installed and its udev rule claims 1a86:7523 (" + rule + ", line 3): it takes the " +
               "adapter for a braille display and holds the port or makes it vanish; fix: sudo apt remove brltty " +
               "(or mask the rule: sudo ln -s /dev/null /etc/udev/rules.d/85-brltty.rules)\n");
    // A commented line and another product claim nothing; the ATTRS form claims too.
    Has(Check(Dev("ttyUSB0")), "\nok: brltty is installed, but its udev rules do not claim 0403:6001\n");
    Write(m_root / "lib/udev/rules.d/90-brltty-extra.rules",
          "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", TAG+=\"brltty\"");
    EXPECT_EQ(Check(Dev("ttyUSB0")).status, 1);
    // A rule of the same name in /etc masks it.
    fs::create_directories(m_root / "etc/udev/rules.d");
    fs::create_symlink("/dev/null", m_root / "etc/udev/rules.d/85-brltty.rules");
    EXPECT_EQ(Check(Dev("ttyUSB1")).status, 0);
}

TEST_F(DoctorCheck, WithNoPortEveryPortIsCheckedUsbAdaptersFirst)
{
    for (const char* tty : {"ttyS0", "ttyS1"}) {
        Tty(tty, std::string("platform/serial8250/tty/") + tty, "serial8250");
        Write(m_root / "sys/class/tty" / tty / "type", "4");
        Node(tty);
    }
    Write(m_root / "sys/class/tty/console/active", "tty0 ttyS1");
    const Report r = Check("");
    EXPECT_EQ(r.status, 0) << r.text;
    const std::size_t usb0 = r.text.find("port: " + Dev("ttyUSB0")), usb1 = r.text.find("port: " + Dev("ttyUSB1")),
                      s0 = r.text.find("port: " + Dev("ttyS0") + "  (serial8250)\n");
    EXPECT_LT(usb0, usb1);
    EXPECT_LT(usb1, s0);
    EXPECT_NE(s0, std::string::npos) << r.text;
    Has(r, "\nskipped: " + Dev("ttyS1") + " (system console: not a device line)\n");

    // COMn is $SUITE_COMn, else ttyS(n-1).
    Has(Check("COM1"), "COM1 is /dev/ttyS0 (the default; set SUITE_COM1 to choose another device)\nport: " +
                           Dev("ttyS0") + "  (serial8250)\n");
    ::setenv("SUITE_COM7", Dev("ttyUSB1").c_str(), 1);
    Has(Check("com7"), "com7 is " + Dev("ttyUSB1") + " (from $SUITE_COM7)\nport: " + Dev("ttyUSB1"));
    ::unsetenv("SUITE_COM7");

    for (const char* tty : {"ttyUSB0", "ttyUSB1", "ttyS0", "ttyS1"})
        fs::remove_all(m_root / "sys/class/tty" / tty);
    const Report none = Check("");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.text, "problem: no serial ports found; fix: plug the adapter in (`dmesg | tail` shows what the "
                         "kernel made of it)\n");
}

}  // namespace
