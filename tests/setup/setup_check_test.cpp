// The setup check on temporary trees laid out as the machine's: sysfs with an
// FTDI adapter at 1-1.3 (ftdi_sio, its node root:dialout 660), /proc, /run,
// the udev rule directories with the package's rule and the seat rule, and
// /etc/group; alice (uid 1000) is in dialout. Each row changes that and names
// the checks it expects, with the words their finding, fix or the open hint
// must hold ("!word": must not).
#include "setup/setup_linux.h"

#include "Process.h"
#include "Pty.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

struct Tree {
    fs::path root;
    SetupRoots roots;
    SetupIdentity who{1000, {1000, 20}, "alice", false};

    Tree() {
        char name[] = "/tmp/zk-setup-XXXXXX";
        root = fs::canonical(mkdtemp(name));
        roots = {root / "sys",
                 root / "dev",
                 root / "proc",
                 root / "run",
                 root / "etc/group",
                 {root / "etc/udev/rules.d", root / "usr/lib/udev/rules.d"},
                 root / "lib/modules/6.1.0/modules.alias",
                 {root / "run/lock"}};
        writeFile(roots.groupFile, "root:x:0:\ndialout:x:20:alice\n");
        writeFile(root / "usr/lib/udev/rules.d/73-seat-late.rules", "TAG==\"uaccess\"\n");
        writeFile(root / "usr/lib/udev/rules.d/60-zkflash.rules",
                  "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001|6010\", "
                  "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n");
        for (const char* dir : {"run/lock", "etc/udev/rules.d", "proc"}) {
            fs::create_directories(root / dir);
        }
        adapter("ttyUSB0", "1-1.3", "0403", "6001", "ftdi_sio", 0);
    }
    ~Tree() { fs::remove_all(root); }

    std::string node(const std::string& name) const { return (root / "dev" / name).string(); }

    // A USB-serial adapter as the kernel lays it out, its node root:dialout 660.
    void adapter(const std::string& tty, const std::string& usb, const std::string& vid,
                 const std::string& pid, const std::string& driver, int minor) {
        const fs::path device = root / "sys/devices/pci0/usb1" / usb;
        const fs::path port = device / (usb + ":1.0") / tty;
        writeFile(device / "idVendor", vid);
        writeFile(device / "idProduct", pid);
        writeFile(port / "tty" / tty / "dev", "188:" + std::to_string(minor));
        fs::create_directories(root / "sys/bus/usb-serial/drivers" / driver);
        fs::create_directory_symlink(root / "sys/bus/usb-serial/drivers" / driver, port / "driver");
        fs::create_directory_symlink(port, port / "tty" / tty / "device");
        for (const auto& dir :
             {"class/tty", "bus/usb-serial/devices", "bus/usb/devices", "module"}) {
            fs::create_directories(root / "sys" / dir);
        }
        fs::create_directory_symlink(port / "tty" / tty, root / "sys/class/tty" / tty);
        fs::create_directory_symlink(port, root / "sys/bus/usb-serial/devices" / tty);
        fs::create_directory_symlink(device, root / "sys/bus/usb/devices" / usb);
        fs::create_directories(root / "sys/module" / driver);
        writeFile(node(tty), "");
        EXPECT_EQ(chown(node(tty).c_str(), 0, 20) | chmod(node(tty).c_str(), 0660), 0);
    }

    // A process with the given nodes open; `fds` "hidden" makes its
    // descriptors unreadable, as another user's are.
    void process(int pid, const std::string& name, const std::vector<std::string>& fds,
                 const std::string& cmdline = "") {
        const fs::path dir = root / "proc" / std::to_string(pid);
        writeFile(dir / "comm", name + "\n");
        writeFile(dir / "cmdline", cmdline);
        if (fds == std::vector<std::string>{"hidden"}) {
            writeFile(dir / "fd", "");
            return;
        }
        fs::create_directories(dir / "fd");
        for (size_t i = 0; i < fds.size(); ++i) {
            fs::create_symlink(fds[i], dir / "fd" / std::to_string(i + 3));
        }
    }
};

struct Expect {
    std::string id; // "hint" for the open hint after the row's errno, "text" for the text
    CheckStatus status;
    std::vector<std::string> words; // "@" stands for the tree's /dev/
};

struct Row {
    const char* name;
    std::function<void(Tree&)> setup;
    std::vector<Expect> expect;
    std::vector<std::string> named = {}; // ports to try, "@" as above
    int hintErr = 0;
};

using S = CheckStatus;
constexpr auto Ok = S::Ok;
constexpr auto Warn = S::Warning;
constexpr auto Fail = S::Failure;

TEST(SetupCheck, FindsEachProblemWithItsFix) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the tree's nodes need chown";
    }
    Pty pty;
    const uint32_t ptySpeed = pty.slaveSpeed();
    const auto notInDialout = [](Tree& t) {
        t.who.gids = {1000};
        writeFile(t.roots.groupFile, "dialout:x:20:\n");
    };
    const Row rows[] = {
        {"a seat ACL; ModemManager on its default policy",
         [&](Tree& t) {
             notInDialout(t);
             // Version 2, then tag and permissions, id: user_obj rw, user 1000 rw,
             // group_obj rw, mask rw, other none (little-endian words).
             const uint32_t acl[] = {2,   0x60001, ~0u, 0x60002, 1000, 0x60004,
                                     ~0u, 0x60010, ~0u, 0x20,    ~0u};
             ASSERT_EQ(
                 setxattr(t.node("ttyUSB0").c_str(), "system.posix_acl_access", acl, sizeof acl, 0),
                 0);
             t.process(812, "ModemManager", {}, std::string("/usr/sbin/ModemManager\0", 23));
         },
         {{"adapters", Ok, {"1 port: @ttyUSB0"}},
          {"port:@ttyUSB0", Ok, {"0403:6001", "socket 1-1.3", "driver ftdi_sio"}},
          {"udev-rule", Ok, {"before 73-seat-late.rules"}},
          {"access:@ttyUSB0", Ok, {"ACL for alice from the seat"}},
          {"holders:@ttyUSB0", Ok, {"no process"}},
          {"modemmanager", Ok, {"filter policy STRICT", "none of the ports"}}}},
        {"a program holds the named port",
         [](Tree& t) { t.process(4242, "minicom", {t.node("ttyUSB0")}); },
         {{"holders:@ttyUSB0", Fail, {"@ttyUSB0 is held by minicom (pid 4242)"}},
          {"speeds:@ttyUSB0", Warn, {"not tried"}},
          {"hint", Ok, {"@ttyUSB0 is held by minicom (pid 4242): close that program"}}},
         {"@ttyUSB0"},
         EBUSY},
        {"another user's process hides its descriptors (a kernel thread holds nothing)",
         [](Tree& t) {
             t.process(999, "sshd", {"hidden"}, "sshd");
             t.process(2, "kthreadd", {"hidden"});
         },
         {{"holders:@ttyUSB0", Ok, {"a process of another user may hold it (1 hide"}},
          {"hint", Ok, {"Another program has @ttyUSB0 open (a process of another user"}}},
         {},
         EBUSY},
        {"an adapter whose driver is not loaded",
         [](Tree& t) {
             const fs::path device = t.root / "sys/devices/pci0/usb1/1-1.4";
             writeFile(device / "idVendor", "1a86");
             writeFile(device / "idProduct", "7523");
             writeFile(device / "1-1.4:1.0/modalias",
                       "usb:v1A86p7523d0264dcFFdsc00dp00icFFisc01ip02in00");
             fs::create_directory_symlink(device, t.root / "sys/bus/usb/devices/1-1.4");
             writeFile(t.roots.modulesAlias,
                       "alias usb:v0403p6001d*dc*dsc*dp*ic*isc*ip*in* ftdi_sio\n"
                       "alias usb:v1A86p7523d*dc*dsc*dp*ic*isc*ip*in* ch341\n");
         },
         {{"driver:1-1.4", Fail, {"1a86:7523", "ch341 is not loaded", "sudo modprobe ch341"}},
          {"adapters", Ok, {"1 port"}}}},
        {"the rule sorts after the seat rule",
         [&](Tree& t) {
             notInDialout(t);
             fs::rename(t.root / "usr/lib/udev/rules.d/60-zkflash.rules",
                        t.root / "etc/udev/rules.d/80-zkflash.rules");
         },
         {{"udev-rule", Warn, {"80-zkflash.rules sorts after 73-seat-late.rules", "sudo mv"}},
          {"access:@ttyUSB0",
           Fail,
           {"cannot give the seat an ACL", "sudo adduser alice dialout"}}}},
        {"ftdi_sio at 16 ms",
         [](Tree& t) {
             writeFile(t.root / "sys/bus/usb-serial/devices/ttyUSB0/latency_timer", "16");
         },
         {{"latency:@ttyUSB0", Ok, {"latency timer 16 ms", "takes effect on ftdi_sio", "1 ms"}}}},
        {"a stale lock file and a live one",
         [](Tree& t) {
             writeFile(t.root / "run/lock/LCK..ttyUSB9", "     77777\n");
             writeFile(t.root / "run/lock/LCK..ttyUSB0", "      4242\n");
             t.process(4242, "minicom", {});
         },
         {{"stale-locks", Warn, {"LCK..ttyUSB9", "sudo rm", "!LCK..ttyUSB0"}},
          {"lock:@ttyUSB0", Warn, {"minicom (pid 4242) with", "LCK..ttyUSB0"}}}},
        {"another loader's flock",
         [](Tree& t) {
             struct stat st {};
             ASSERT_EQ(stat(t.node("ttyUSB0").c_str(), &st), 0);
             // The node's lock, and one on the next file of the same file system.
             char locks[192];
             std::snprintf(locks, sizeof locks,
                           "1: FLOCK  ADVISORY  WRITE 4243 %02x:%02x:%llu 0 EOF\n"
                           "2: POSIX  ADVISORY  WRITE 4244 %02x:%02x:%llu 0 EOF\n",
                           major(st.st_dev), minor(st.st_dev),
                           static_cast<unsigned long long>(st.st_ino), major(st.st_dev),
                           minor(st.st_dev), static_cast<unsigned long long>(st.st_ino + 1));
             writeFile(t.root / "proc/locks", locks);
             t.process(4243, "zkflash-cli", {});
         },
         {{"lock:@ttyUSB0", Warn, {"locked by zkflash-cli (pid 4243) with flock", "!4244"}},
          {"hint", Ok, {"@ttyUSB0 is locked by zkflash-cli (pid 4243)"}}},
         {},
         EWOULDBLOCK},
        {"joined dialout after logging in",
         [](Tree& t) { t.who.gids = {1000}; },
         {{"access:@ttyUSB0", Fail, {"after this login began", "newgrp dialout"}},
          {"hint", Ok, {"You may not use @ttyUSB0", "log out and in again"}}},
         {},
         EACCES},
        {"over ssh",
         [&](Tree& t) {
             notInDialout(t);
             t.who.ssh = true;
         },
         {{"access:@ttyUSB0", Fail, {"over ssh", "sudo adduser alice dialout, then log in again"}},
          {"hint", Ok, {"over ssh", "sudo adduser alice dialout"}}},
         {},
         EACCES},
        {"a node only root may open, no udev daemon",
         [](Tree& t) {
             ASSERT_EQ(chown(t.node("ttyUSB0").c_str(), 0, 0) |
                           chmod(t.node("ttyUSB0").c_str(), 0600),
                       0);
         },
         {{"access:@ttyUSB0",
           Fail,
           {"root:root -rw-------", "only root can open it", "systemd-udevd",
            "sudo chgrp dialout @ttyUSB0"}},
          {"hint", Ok, {"You may not use @ttyUSB0: it is root:root", "only root"}}},
         {},
         EACCES},
        {"ModemManager on the legacy policy, one port ignored; brltty's rule names the other",
         [](Tree& t) {
             t.adapter("ttyUSB1", "1-2", "1a86", "7523", "ch341", 1);
             writeFile(t.root / "run/udev/data/c188:0", "E:ID_MM_DEVICE_IGNORE=1\n");
             t.process(812, "ModemManager", {},
                       std::string("ModemManager\0--filter-policy=legacy", 35));
             writeFile(t.root / "usr/lib/udev/rules.d/85-brltty.rules",
                       "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
                       "GOTO=\"brltty_usb_run\"\n");
         },
         {{"modemmanager",
           Warn,
           {"LEGACY", "would probe @ttyUSB1 (every tty)", "!@ttyUSB0", "ID_MM_DEVICE_IGNORE"}},
          {"brltty",
           Warn,
           {"1a86:7523", "85-brltty.rules", "sudo apt remove brltty", "!0403:6001"}}}},
        {"a named port that is not there",
         [](Tree&) {},
         {{"port:@ttyUSB7", Fail, {"@ttyUSB7 does not exist", "zkflash-cli --list"}}},
         {"@ttyUSB7"}},
        {"a pseudo-terminal's far end keeps its slave open too",
         [](Tree& t) {
             writeFile(t.node("pts/3"), "");
             t.process(500, "zkunit-sim", {t.node("ptmx"), t.node("pts/3")});
             writeFile(t.root / "proc/500/fdinfo/3", "pos:\t0\ntty-index:\t3\n");
         },
         {{"port:@pts/3", Ok, {"a pseudo-terminal whose far end is zkunit-sim (pid 500)"}},
          {"holders:@pts/3", Ok, {"no process"}}},
         {"@pts/3"}},
        {"an adapter's strings carry escape sequences: the text shows them escaped",
         [](Tree& t) {
             writeFile(t.root / "sys/devices/pci0/usb1/1-1.3/serial", "A5\x1b]0;x\x07\n");
         },
         {{"text", Ok, {"(A5\\x1b]0;x\\x07)", "!\x1b"}}}},
        {"the exact speeds on a pseudo-terminal",
         [](Tree&) {},
         {{"speeds:" + pty.path(), Ok, {"takes 115200 and 109000 bit/s", "put back"}},
          {"latency:" + pty.path(), Ok, {"not a USB adapter"}}},
         {pty.path()}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Tree tree;
        row.setup(tree);
        const auto expand = [&](std::string text) {
            for (size_t at; (at = text.find('@')) != std::string::npos;) {
                text.replace(at, 1, tree.node(""));
            }
            return text;
        };
        std::vector<std::string> named;
        for (const auto& port : row.named) {
            named.push_back(expand(port));
        }
        const std::vector<SetupCheck> checks = SetupCheck_Run(tree.roots, tree.who, named);
        for (const auto& e : row.expect) {
            SetupCheck found{"hint", Ok, "", ""};
            if (e.id == "hint") {
                found.finding =
                    SetupCheck_OpenHint(tree.roots, tree.who, row.hintErr, tree.node("ttyUSB0"));
            } else if (e.id == "text") {
                found.finding = SetupCheck_Text(checks);
            } else {
                const auto it =
                    std::find_if(checks.begin(), checks.end(),
                                 [&](const SetupCheck& c) { return c.id == expand(e.id); });
                if (it == checks.end()) {
                    ADD_FAILURE() << "no check " << expand(e.id);
                    continue;
                }
                found = *it;
            }
            EXPECT_EQ(SetupCheck_StatusName(found.status),
                      std::string(SetupCheck_StatusName(e.status)))
                << found.id << ": " << found.finding;
            const std::string text = found.finding + "\n" + found.fix;
            for (const auto& word : e.words) {
                const bool absent = word.starts_with("!");
                EXPECT_EQ(text.find(expand(absent ? word.substr(1) : word)) == std::string::npos,
                          absent)
                    << found.id << " " << word << " in: " << text;
            }
        }
    }
    EXPECT_EQ(pty.slaveSpeed(), ptySpeed) << "the try puts the speed back";
}

// A run's hints name what holds the port on the real machine (the table above
// covers the rest on a tree).
TEST(SetupCheck, FailureHintsNameTheHolder) {
    const fs::path root = fs::canonical(testing::TempDir()) / "zk-hints";
    fs::create_directories(root);
    const std::string node = root / "ttyUSB0", free = root / "free";
    writeFile(node, "");
    writeFile(free, "");
    // A process named as the modem prober, holding the node open.
    fs::create_symlink("/bin/sleep", root / "ModemManager");
    Process prober({"/bin/sh", "-c", "exec \"$0\" 60 3<\"$1\"", root / "ModemManager", node});
    const auto proberUp = [&] {
        std::ifstream comm("/proc/" + std::to_string(prober.pid()) + "/comm");
        std::string name;
        return std::getline(comm, name) && name == "ModemManager";
    };
    for (int i = 0; i < 500 && !proberUp(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto hint = [](const std::string& path, int err) {
        return SetupCheck_FailureHint(
            path, SerialFailure{"Error opening serial port " + path, err, "the system's text"});
    };
    const std::pair<std::string, std::string> cases[] = {
        {hint(node, EBUSY),
         node + " is held by ModemManager (pid " + std::to_string(prober.pid()) + "): wait"},
        {hint(node, EBUSY), "keeps ModemManager away"},
        {hint(free, EWOULDBLOCK), "Another program has " + free},
    };
    for (const auto& [text, part] : cases) {
        EXPECT_NE(text.find(part), std::string::npos) << text;
    }
    EXPECT_EQ(hint(node, ENOENT), "");
    fs::remove_all(root);
}

} // namespace
