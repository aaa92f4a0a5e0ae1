// End-to-end runs of the built fwvet and fwpack binaries (through the emulator
// on a cross build). Each test states the exit status, the output, and what
// became of the upgrade file and of the staging file.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "md5.h"

namespace {

const std::string kStaging = "/tmp/flsbfile.tar.gz";
const std::string kUsage =
    "Usage: fwvet [option]\n"
    "    -c     : check upgrade file\n"
    "    -f XX  : name of bin file\n";
const char *const kMessages[] = {"", "<1>no upgrade file\n", "<2>get file head error\n", "<3>file format error\n",
                                 "<4>file is too big\n", "<5>dev model error\n", "<6>upgrade same version file\n",
                                 "<7>hardware version is error\n", "<8>MD5 check failed\n", "<9>systype error\n",
                                 "<10>write flash error\n", "<11>signature check failed\n",
                                 "<12>upgrade old version file\n"};
std::string env(const char *name) {
  const char *v = getenv(name);
  return v ? v : "";
}

// The test identity of the signed presets; the tables take its values for a
// field a build leaves open, where any value passes.
const std::map<std::string, std::vector<std::string>> kTestIdentity = {
    {"TYPES", {"0", "2"}}, {"MODEL", {"router-a1", "router-a", "router-a1-with-a-32-byte-name-xx"}},
    {"HWVER", {"rev3", "rev3b"}}, {"SWVER", {"2.4.0"}}, {"NOT_BEFORE", {"1700000000"}}};

// A list of this build's identity (tests/CMakeLists.txt), empty where the
// build leaves the field open, or there, with open, the test identity's.
std::vector<std::string> id_list(const char *field, bool open = false) {
  std::vector<std::string> list;
  const std::string all = env(("FWVET_ID_" + std::string(field)).c_str());
  for (size_t at = 0; !all.empty();) {
    const size_t end = all.find('\x1f', at);
    list.push_back(all.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return list.empty() && open ? kTestIdentity.at(field) : list;
}

// A release other than the build's own.
std::string next_release() { return env("FWVET_ID_SWVER") == "2.5.0" ? "2.5.1" : "2.5.0"; }

// fwpack's options for a file this build takes: its first model, hardware
// and type, another release.
std::vector<std::string> this_device() {
  return {"-t", id_list("TYPES", true)[0], "-m", id_list("MODEL", true)[0], "-w", id_list("HWVER", true)[0],
          "-s", next_release()};
}

// Bytes as a failure message can show them: short text as it is, anything
// else by length and digest.
std::string shown(const std::string &data) {
  bool text = data.size() <= 64;
  for (char c : data) text = text && c >= ' ' && c <= '~';
  if (text) return data;
  MD5_CTX ctx;
  MD5_Init(&ctx);
  MD5_Update(&ctx, reinterpret_cast<const unsigned char *>(data.data()), static_cast<unsigned int>(data.size()));
  unsigned char d[16];
  MD5_Final(d, &ctx);
  char hex[33];
  for (int k = 0; k < 16; k++) snprintf(hex + 2 * k, 3, "%02x", d[k]);
  return "<" + std::to_string(data.size()) + " bytes, md5 " + hex + ">";
}

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A file's contents as shown(), or "<absent>".
std::string state(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) != 0 ? "<absent>"
         : S_ISDIR(st.st_mode)       ? "<dir>"
         : S_ISFIFO(st.st_mode)      ? "<fifo>"
         : S_ISLNK(st.st_mode)       ? "<link>"
                                     : shown(slurp(path));
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void spit(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  ASSERT_TRUE(out.flush()) << path;
}

std::string payload(size_t n, uint32_t seed = 7) {
  std::string s(n, '\0');
  for (char &c : s) seed = seed * 1664525 + 1013904223, c = static_cast<char>(seed >> 24);
  return s;
}

// An upgrade file for the payload, with a correct header.
std::string upgrade(const std::string &body) {
  std::string h(128, '\0');
  h.replace(0, 4, "\xAB\xCD\x12\x34", 4);
  h.replace(6, 9, "fw-model1");
  h.replace(38, 5, "1.2.3");
  MD5_CTX ctx;
  MD5_Init(&ctx);
  MD5_Update(&ctx, reinterpret_cast<const unsigned char *>(body.data()), static_cast<unsigned int>(body.size()));
  MD5_Final(reinterpret_cast<unsigned char *>(&h[102]), &ctx);
  return h + body;
}

struct Result {
  int status;
  std::string out, err;
};

class Fwvet : public ::testing::Test {
 protected:
  std::string dir;

  void SetUp() override {
    char t[] = "/tmp/fwvet_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(t));
    dir = t;
    clear_staging();
  }
  void TearDown() override {
    clear_staging();
    ASSERT_EQ(0, system(("rm -rf " + dir).c_str()));
  }
  static void clear_staging() { ASSERT_EQ(0, system(("rm -rf " + kStaging + " /tmp/.flsbfile.tar.gz.*").c_str())); }

  Result fwvet(std::vector<std::string> args, const std::map<std::string, std::string> &vars = {},
               const std::function<void()> &setup = nullptr) {
    return run("FWVET_BIN", std::move(args), vars, setup);
  }
  Result fwpack(std::vector<std::string> args, const std::map<std::string, std::string> &vars = {},
                const std::function<void()> &setup = nullptr) {
    return run("FWPACK_BIN", std::move(args), vars, setup);
  }

  // Runs the binary that the environment variable names, with args; setup
  // runs in the child just before exec.
  Result run(const char *bin, std::vector<std::string> args, const std::map<std::string, std::string> &vars,
             const std::function<void()> &setup) {
    std::vector<std::string> cmd;
    std::istringstream emu(env("FWVET_EMULATOR"));
    for (std::string w; emu >> w;) cmd.push_back(w);
    const bool emulated = !cmd.empty();
    cmd.push_back(env(bin));
    cmd.insert(cmd.end(), args.begin(), args.end());
    const std::string out = dir + "/.out", err = dir + "/.err";

    const pid_t pid = fork();
    if (pid == 0) {
      for (const auto &[k, v] : vars) {
        // Under emulation only the guest may load the preloaded library.
        if (k == "LD_PRELOAD" && emulated)
          setenv("QEMU_SET_ENV", ("LD_PRELOAD=" + v).c_str(), 1);
        else
          setenv(k.c_str(), v.c_str(), 1);
      }
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
      if (setup) setup();
      // A hang fails the test instead of stalling it.
      const int secs = atoi(env("FWVET_ALARM").c_str());
      alarm(secs > 0 ? static_cast<unsigned>(secs) : 60);
      std::vector<char *> argv;
      for (auto &a : cmd) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    int ws = 0;
    EXPECT_EQ(pid, waitpid(pid, &ws, 0));
    return {WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), slurp(out), slurp(err)};
  }

  std::string path(const std::string &name) const { return dir + "/" + name; }

  // fwpack -j FILE exits with status and, as Python's json module reads it,
  // has "key=value" lines for the keys. Where Python is missing (the
  // emulated device), only the status and the object's braces are checked.
  void expect_json(const std::string &file, const std::string &keys, int status, const std::string &lines) {
    const Result j = fwpack({"-j", file});
    EXPECT_EQ(status, j.status) << file;
    static const bool python = system("command -v python3 > /dev/null 2>&1") == 0;
    if (!python) {
      EXPECT_TRUE(j.out.size() > 2 && j.out.front() == '{' && j.out.substr(j.out.size() - 2) == "}\n") << j.out;
      return;
    }
    spit(path(".json"), j.out);
    spit(path(".py"), "import json, sys\nd = json.load(open(sys.argv[1]))\nfor k in sys.argv[2:]: print(f'{k}={d.get(k)}')\n");
    const std::string cmd = "python3 " + path(".py") + " " + path(".json") + " " + keys + " > " + path(".parsed");
    EXPECT_EQ(0, system(cmd.c_str())) << j.out;
    EXPECT_EQ(lines, slurp(path(".parsed"))) << file;
  }
};

// A pre-existing staging file: what check mode and failed runs leave alone,
// and what a successful extraction truncates, keeping its mode.
constexpr char kOldStaging[] = "an older staging file, longer than some payloads";

void plant_staging() {
  spit(kStaging, kOldStaging);
  ASSERT_EQ(0, chmod(kStaging.c_str(), 0640));
}

mode_t mode_of(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(Fwvet, CommandLine) {
  // A file the build takes: this device's, signed in a build with keys; a
  // build whose keys are not the test keys refuses it (11) where it would
  // otherwise pass.
  const std::string keys = env("FWVET_TEST_KEYS");
  const bool refused = env("FWVET_SIGNED") == "1" && keys.empty();
  spit(path("payload"), payload(3000));
  std::vector<std::string> pack = this_device();
  pack.insert(pack.end(), {"-o", path("good.bin"), path("payload")});
  ASSERT_EQ(0, fwpack(pack).status);
  const std::string good = slurp(path("good.bin"));
  const std::string p63 = path(std::string(63 - path("").size(), 'p'));
  ASSERT_EQ(63u, p63.size());
  std::string sig;
  if (!keys.empty()) {
    ASSERT_EQ(0, system(("cd " + dir + " && sha256sum --tag good.bin > list && signify-openbsd -S -e -s " + keys +
                         "/k1.sec -m list -x good.bin.sig > /dev/null").c_str()));
    sig = slurp(path("good.bin.sig"));
  }
  enum Out { usage, message, none };
  const struct {
    std::vector<std::string> args;
    int status;
    Out out;
    bool diagnostic;  // the option parser's own complaint on stderr
    const char *extracted;
  } cases[] = {
      {{}, 1, usage, false, nullptr},
      {{"-c"}, 1, usage, false, nullptr},
      {{"-f", ""}, 1, usage, false, nullptr},
      {{"-c", "-f", ""}, 1, usage, false, nullptr},
      {{"-f", "G", "-f", ""}, 1, usage, false, nullptr},
      {{"-l", "v", "-f", "G"}, 255, usage, false, nullptr},
      {{"-f", "G", "-l", "v"}, 255, usage, false, nullptr},
      {{"-f", "G", "-x"}, 255, usage, true, nullptr},
      {{"-f"}, 255, usage, true, nullptr},
      {{"-c", "-l"}, 255, usage, true, nullptr},
      {{"-f", "G"}, 0, none, false, "G"},
      {{"-c", "-f", "G"}, 0, none, false, nullptr},
      {{"-f", "G", "-c"}, 0, none, false, nullptr},
      {{"-f", "missing", "-f", "G"}, 0, none, false, "G"},
      {{"extra", "-f", "G"}, 0, none, false, "G"},
      {{"-c", "-f", "G", "extra"}, 0, none, false, nullptr},
      {{"-f", "G", "extra", "-c"}, 0, none, false, nullptr},
      // Paths of 63 bytes work; longer ones are refused, never shortened.
      {{"-f", "P63"}, 0, none, false, "P63"},
      {{"-f", "P64"}, 1, message, false, nullptr},
      {{"-c", "-f", "P64"}, 1, message, false, nullptr},
      {{"-f", "P64", "-f", "G"}, 0, none, false, "G"},
      {{"-f", "G", "-f", "P64"}, 1, message, false, nullptr},
      // A lone '-' is an operand; after "--" everything is.
      {{"-", "-c", "-f", "G"}, 0, none, false, nullptr},
      {{"-f", "G", "-"}, 0, none, false, "G"},
      {{"-c", "-f", "-"}, 1, message, false, nullptr},
      {{"-cf", "G"}, 0, none, false, nullptr},
      {{"--", "-c", "-f", "G"}, 1, usage, false, nullptr},
      {{"-f", "G", "--", "-c"}, 0, none, false, "G"},
  };
  const std::map<std::string, std::string> names = {{"G", path("good.bin")}, {"P63", p63}, {"P64", p63 + "4"}};
  // Options count after operands, whatever the environment says.
  for (const auto &c : cases) for (const char *posix : {"", "1"}) {
    std::string line = *posix ? " (POSIXLY_CORRECT)" : "";
    std::vector<std::string> args;
    for (const auto &a : c.args) {
      args.push_back(names.count(a) ? names.at(a) : a);
      line += " " + a;
    }
    SCOPED_TRACE("fwvet" + line);
    for (const char *f : {"G", "P63"}) {
      spit(names.at(f), good);
      if (!sig.empty()) spit(names.at(f) + ".sig", sig);
    }
    plant_staging();

    const Result r = fwvet(args, *posix ? std::map<std::string, std::string>{{"POSIXLY_CORRECT", "1"}}
                                        : std::map<std::string, std::string>{});
    const int status = refused && c.status == 0 ? 11 : c.status;
    const char *extracted = refused ? nullptr : c.extracted;
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(c.out == usage ? kUsage : c.out == message || status != c.status ? kMessages[status] : "", r.out);
    EXPECT_EQ(c.diagnostic, !r.err.empty()) << r.err;
    for (const char *f : {"G", "P63"}) {
      const bool gone = extracted && std::string(extracted) == f;
      EXPECT_EQ(gone ? "<absent>" : shown(good), state(names.at(f))) << f;
    }
    EXPECT_EQ(shown(extracted ? good.substr(128) : kOldStaging), state(kStaging));
    EXPECT_EQ(0640u, mode_of(kStaging));
  }
}

TEST_F(Fwvet, VerdictOnEachKindOfFile) {
  const std::string body = payload(5000);
  const std::string good = upgrade(body);
  auto with = [&](size_t at, const std::string &bytes) { return std::string(good).replace(at, bytes.size(), bytes); };
  char hex[33];
  for (int k = 0; k < 16; k++) snprintf(hex + 2 * k, 3, "%02x", static_cast<unsigned char>(good[102 + k]));
  const struct {
    const char *name;
    std::string file;  // "<absent>", "<dir>" and "<fifo>" are made as such
    int status;
  } cases[] = {
      {"good", good, 0},
      {"empty payload", upgrade(""), 0},
      {"unexamined header fields changed", with(4, std::string(98, '\xff')) .replace(118, 10, std::string(10, '\x5a')), 0},
      {"missing", "<absent>", 1},
      {"directory", "<dir>", 2},
      {"fifo, never waited on", "<fifo>", 2},
      {"/dev/zero, never read", "<link>", 2},
      {"empty file", "", 2},
      {"127 bytes", good.substr(0, 127), 2},
      {"magic little-endian", with(0, "\x34\x12\xCD\xAB"), 3},
      {"magic zero", with(0, std::string(4, '\0')), 3},
      {"digest as hex text", with(102, std::string(hex, 16)), 8},
      {"first payload byte changed", with(128, "\x01"), 8},
      {"last payload byte changed", with(good.size() - 1, std::string(1, static_cast<char>(good.back() ^ 0x80))), 8},
      {"byte appended", good + "x", 8},
      {"last byte cut", good.substr(0, good.size() - 1), 8},
      {"digest of the whole file instead", upgrade(good.substr(0, 128) + body).substr(0, 128) + body, 8},
  };
  const std::string f = path("up.bin");
  for (const auto &c : cases) {
    for (const char *mode : {"-c first", "-c last", "extract"}) {
      SCOPED_TRACE(std::string(c.name) + ", " + mode);
      ASSERT_EQ(0, system(("rm -rf " + f).c_str()));
      if (c.file == "<dir>")
        ASSERT_EQ(0, mkdir(f.c_str(), 0755));
      else if (c.file == "<fifo>")
        ASSERT_EQ(0, mkfifo(f.c_str(), 0600));
      else if (c.file == "<link>")
        ASSERT_EQ(0, symlink("/dev/zero", f.c_str()));
      else if (c.file != "<absent>")
        spit(f, c.file);
      plant_staging();

      const std::string m = mode;
      const Result r = fwvet(m == "-c first" ? std::vector<std::string>{"-c", "-f", f}
                          : m == "-c last" ? std::vector<std::string>{"-f", f, "-c"}
                                           : std::vector<std::string>{"-f", f});
      EXPECT_EQ(c.status, r.status);
      EXPECT_EQ(c.status ? kMessages[c.status] : "", r.out);
      EXPECT_EQ("", r.err);
      if (m == "-c first") {
        EXPECT_EQ(c.status, fwpack({"-i", f}).status) << "fwpack -i disagrees";
        expect_json(f, "status", c.status, "status=" + std::to_string(c.status) + "\n");
      }
      const bool extracted = m == "extract" && c.status == 0;
      EXPECT_EQ(extracted ? "<absent>" : c.file[0] == '<' ? c.file : shown(c.file), state(f));
      EXPECT_EQ(shown(extracted ? c.file.substr(128) : kOldStaging), state(kStaging));
    }
  }
}

// Every transfer of the check and the copy short by a byte, or interrupted
// once, as Linux may make any of them: the same verdict, the same payload.
TEST_F(Fwvet, ExtractionStagesExactlyThePayload) {
  const std::string f = path("up.bin"), stale = "/tmp/.flsbfile.tar.gz.0123456789abcdef";
  for (size_t n : {0, 1, 127, 10239, 10240, 10241, 20480, 100003}) for (const char *action : {"none", "short", "eintr"}) {
    SCOPED_TRACE("payload of " + std::to_string(n) + ", transfers " + action);
    const std::string body = payload(n, static_cast<uint32_t>(n));
    spit(f, upgrade(body));
    clear_staging();
    // A temporary of ours that a power cut left goes; what only looks like
    // one (another user's, a link, a hard link, another name) stays.
    ASSERT_EQ(0, system(("cd /tmp && p=.flsbfile.tar.gz.00000000000000 && touch ${p}aa ${p}cc ${p}DD " + stale +
                         " && chown 65534 ${p}aa && ln -s " + f + " ${p}bb && ln ${p}cc " + path("cc")).c_str()));
    const std::map<std::string, std::string> shim = {{"LD_PRELOAD", env("FWVET_SHIM")}, {"FWVET_SHIM_ACTION", action}};
    spit(f, upgrade(body) + "x");
    EXPECT_EQ(8, fwvet({"-c", "-f", f}, shim).status);
    spit(f, upgrade(body));
    // Even under umask 0 the new file is writable by nobody else.
    const Result r = fwvet({"-f", f}, shim, [n] { umask(n == 1 ? 0 : 027); });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out + r.err);
    EXPECT_EQ("<absent>", state(f));
    EXPECT_EQ(shown(body), state(kStaging));
    EXPECT_EQ(n == 1 ? 0644u : 0640u, mode_of(kStaging));  // 0666 less the umask and 022
    EXPECT_EQ("<absent>", state(stale));
    for (const char *kept : {"aa", "bb", "cc", "DD"}) EXPECT_NE("<absent>", state("/tmp/.flsbfile.tar.gz.00000000000000" + std::string(kept))) << kept;
    ASSERT_EQ(0, unlink(path("cc").c_str()));
  }
}

// Whatever stands at the staging name that is not a file of ours, alone and
// writable by us alone, is refused and left as it was: nothing is written
// through it. So is the upgrade file as its own staging file, however named.
TEST_F(Fwvet, StagingNameIsNeverWrittenThrough) {
  const std::string f = path("up.bin"), victim = path("victim"), alias = path("alias");
  const std::string good = upgrade(payload(4000)), temp = "/tmp/.flsbfile.tar.gz.0123456789abcdef";
  auto file = [&](uid_t uid, mode_t mode, const std::string &data) {
    spit(kStaging, data);
    return chown(kStaging.c_str(), uid, 0) || chmod(kStaging.c_str(), mode);
  };
  const struct {
    const char *name;
    std::function<int()> plant;
    std::string arg;  // the upgrade file, run from /tmp
  } cases[] = {
      {"symlink", [&] { return symlink(victim.c_str(), kStaging.c_str()); }, f},
      {"dangling symlink", [&] { return symlink((victim + ".new").c_str(), kStaging.c_str()); }, f},
      {"fifo", [] { return mkfifo(kStaging.c_str(), 0600); }, f},
      {"directory", [] { return mkdir(kStaging.c_str(), 0700); }, f},
      {"device", [] { return mknod(kStaging.c_str(), S_IFCHR | 0600, makedev(1, 3)); }, f},
      {"hard link", [&] { return link(victim.c_str(), kStaging.c_str()); }, f},
      {"another user's file", [&] { return file(65534, 0644, "theirs"); }, f},
      {"writable by others", [&] { return file(geteuid(), 0646, "shared"); }, f},
      {"writable by the group", [&] { return file(geteuid(), 0664, "shared"); }, f},
      {"itself", [&] { return file(geteuid(), 0644, good); }, kStaging},
      {"itself, by another path", [&] { return file(geteuid(), 0644, good); }, "/tmp//flsbfile.tar.gz"},
      {"itself, relative", [&] { return file(geteuid(), 0644, good); }, "flsbfile.tar.gz"},
      {"itself, through a link", [&] { return file(geteuid(), 0644, good) || symlink(kStaging.c_str(), alias.c_str()); },
       alias},
      // The sweep of stale temporaries before staging spares the upload.
      {"a directory, the upgrade file named as a temporary", [&] { spit(temp, good); return mkdir(kStaging.c_str(), 0700); }, temp},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    spit(f, good);
    spit(victim, "victim");
    clear_staging();
    if (c.plant() != 0) {
      ASSERT_EQ(EPERM, errno);  // only a device node and a foreign owner need privilege
      continue;
    }
    struct stat before, after;
    ASSERT_EQ(0, lstat(kStaging.c_str(), &before));
    const std::string held = state(kStaging);

    const Result r = fwvet({"-f", c.arg}, {}, [] {
      if (chdir("/tmp") != 0) _exit(126);
    });
    EXPECT_EQ(10, r.status);
    EXPECT_EQ(kMessages[10], r.out);
    EXPECT_EQ(shown(good), state(c.arg == temp ? temp : f));
    EXPECT_EQ("victim", state(victim));
    EXPECT_EQ("<absent>", state(victim + ".new"));
    ASSERT_EQ(0, lstat(kStaging.c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(held, state(kStaging));
    ASSERT_EQ(0, system(("rm -f " + alias).c_str()));
  }

  // Early at boot on a /tmp without unnamed files the temporary's first name
  // is predictable: another user's file planted there never becomes ours.
  clear_staging();
  const std::string planted = "cd /tmp && for n in 0000000001000001 0000000000000000; do echo theirs > .flsbfile.tar.gz.$n";
  ASSERT_EQ(0, system((planted + " && chown 65534 .flsbfile.tar.gz.$n; done").c_str()));
  const Result r = fwvet({"-f", f}, {{"LD_PRELOAD", env("FWVET_SHIM")}, {"FWVET_SHIM_ACTION", "early"}});
  EXPECT_EQ(0, r.status);
  struct stat st;
  ASSERT_EQ(0, lstat(kStaging.c_str(), &st));
  EXPECT_EQ(geteuid(), st.st_uid);
  EXPECT_EQ(shown(good.substr(128)), state(kStaging));
  EXPECT_EQ("theirs\ntheirs\n", slurp("/tmp/.flsbfile.tar.gz.0000000001000001") + slurp("/tmp/.flsbfile.tar.gz.0000000000000000"));
}

// A run cut short or crowded out leaves the previous staging file as it was,
// the upgrade file too, and no temporary in /tmp.
TEST_F(Fwvet, InterruptedOrOverlappingRunsKeepThePreviousStaging) {
  const std::string f = path("up.bin");
  const std::string good = upgrade(payload(25000));
  const struct {
    const char *name, *action;
    int status;
  } cases[] = {
      {"SIGTERM mid-copy", "TERM", 128 + SIGTERM},
      {"SIGKILL mid-copy", "KILL", 128 + SIGKILL},
      {"another run staging", "none", 10},
      {"a shared lock held", "shared", 10},
      {"the upgrade file grows", "grow", 8},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    spit(f, good);
    plant_staging();
    // The other run: its lock on /tmp.
    const std::string action = c.action;
    const int held = action == "none" || action == "shared" ? open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (held >= 0) {
      ASSERT_EQ(0, flock(held, (action == "shared" ? LOCK_SH : LOCK_EX) | LOCK_NB));
    }
    const Result r = fwvet({"-f", f}, {{"LD_PRELOAD", env("FWVET_SHIM")},
                                    {"FWVET_SHIM_FILE", f},
                                    {"FWVET_SHIM_ACTION", c.action},
                                    {"FWVET_SHIM_AT", action == "grow" ? "write1" : "write2"}});
    if (held >= 0) close(held);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(shown(action == "grow" ? good + "+" : good), state(f));
    EXPECT_EQ(kOldStaging, state(kStaging));
    EXPECT_EQ(0640u, mode_of(kStaging));
    EXPECT_NE(0, system("ls -A /tmp | grep -q '^\\.flsbfile'")) << "a temporary is left in /tmp";
  }

  // With nobody reading its standard output, the status is still the verdict.
  spit(f, good + "x");
  const Result r = fwvet({"-f", f}, {}, [] {
    int p[2];
    if (pipe(p) != 0 || dup2(p[1], 1) < 0 || close(p[0]) != 0) _exit(126);
  });
  EXPECT_EQ(8, r.status);
}

TEST_F(Fwvet, FailedWriteKeepsTheUpgradeFileAndNoPartialStaging) {
  const std::string f = path("up.bin");
  const std::string good = upgrade(payload(30000));
  spit(f, good);
  plant_staging();
  // The file size limit cuts the last of the three copy blocks short: a
  // partial write, then EFBIG.
  const Result r = fwvet({"-f", f}, {}, [] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit lim = {29000, 29000};
    setrlimit(RLIMIT_FSIZE, &lim);
  });
  EXPECT_EQ(10, r.status);
  EXPECT_EQ(kMessages[10], r.out);
  EXPECT_EQ(shown(good), state(f));
  EXPECT_EQ(kOldStaging, state(kStaging));
}

// The upgrade file changes between the check and the copy.
TEST_F(Fwvet, ChangesAfterTheCheckAreCaught) {
  const std::string f = path("up.bin");
  const std::string good = upgrade(payload(25000));
  const struct {
    const char *action, *at;
    int status;
  } cases[] = {
      {"vanish", "close1", 1}, {"tiny", "close1", 2},   {"huge", "close1", 4},   {"grow", "close1", 8},
      {"alter", "open2", 8},   {"grow", "open2", 8},    {"shrink", "open2", 8},  {"shrink", "close1", 8},
      {"replace", "close1", 8},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.action) + " at " + c.at);
    spit(f, good);
    plant_staging();
    const Result r = fwvet({"-f", f}, {{"LD_PRELOAD", env("FWVET_SHIM")},
                                    {"FWVET_SHIM_FILE", f},
                                    {"FWVET_SHIM_ACTION", c.action},
                                    {"FWVET_SHIM_AT", c.at}});
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(kMessages[c.status], r.out);
    EXPECT_EQ(std::string(c.action) != "vanish", exists(f));
    EXPECT_EQ(kOldStaging, state(kStaging));
  }
}

// The staged file is durable under its name before the upgrade file goes, and
// only the file that was vetted goes.
TEST_F(Fwvet, StagingIsDurableBeforeTheUpgradeFileGoes) {
  const std::string f = path("up.bin"), link = path("link"), log = path("calls.log");
  const std::string body = payload(12345), good = upgrade(body);
  const struct {
    const char *action;
    std::string arg, left;  // -f, and what is then at f
    bool unlinked;
  } cases[] = {
      {"none", f, "<absent>", true},
      // A failed deletion is not the updater's concern: the payload is staged.
      {"nounlink", f, shown(good), true},
      // Neither a file renamed over the path after the copy nor the link
      // that named the upgrade file is what was vetted.
      {"replace", f, "replaced", false},
      {"none", link, shown(good), false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.action) + " " + c.arg);
    spit(f, good);
    ASSERT_EQ(0, system(("rm -f " + log + " " + link).c_str()));
    ASSERT_EQ(0, symlink(f.c_str(), link.c_str()));
    const Result r = fwvet({"-f", c.arg}, {{"LD_PRELOAD", env("FWVET_SHIM")},
                                        {"FWVET_SHIM_FILE", f},
                                        {"FWVET_SHIM_ACTION", c.action},
                                        {"FWVET_SHIM_AT", "fsync1"},
                                        {"FWVET_SHIM_LOG", log}});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(shown(body), state(kStaging));
    EXPECT_EQ(c.left, state(f));
    struct stat st;
    EXPECT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_EQ("fsync /tmp/(new)\nrename flsbfile.tar.gz\nfsync /tmp/(new)\nfsync /tmp\n" + (c.unlinked ? "unlink " + f + "\n" : "") +
                  "sync \n",
              slurp(log));
  }
}

// On the 32-bit device only 64-bit file offsets open, read and size these.
TEST_F(Fwvet, FilesOver2GiB) {
  const std::string f = path("big.bin");
  // Payloads of zero bytes, left as holes, with their digests: 2^31 bytes,
  // too many to copy, and 2^31 - 1.
  const std::string md5 = "\xa9\x81\x13\x0c\xf2\xb7\xe0\x9f\x46\x86\xdc\x27\x3c\xf7\x18\x7e";
  const std::string md5less = "\xb3\xdc\x5e\x51\xb0\x69\x8d\xdf\x18\xd4\x8b\xbf\x16\xc1\x15\x3f";
  const struct {
    const char *magic;
    long long len;
    std::string md5;
    int status;
  } cases[] = {
      // Refused by its size before its (wrong) digest is computed.
      {"\xAB", 1LL << 31, md5less, 4},
      {"\x00", 1LL << 31, md5, 3},
      // Past the size limit and the digest; a small file size limit then
      // fails the copy, so that nothing large is written.
      {"\xAB", (1LL << 31) - 1, md5less, 10},
      // Good: only extraction refuses it.
      {"\xAB", 1LL << 31, md5, 4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.status);
    spit(f, upgrade("").substr(0, 128).replace(102, 16, c.md5).replace(0, 1, c.magic, 1));
    ASSERT_EQ(0, truncate(f.c_str(), 128 + c.len));
    plant_staging();
    const Result r = fwvet({"-f", f}, {}, [] {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit lim = {1 << 20, 1 << 20};
      setrlimit(RLIMIT_FSIZE, &lim);
    });
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(kMessages[c.status], r.out);
    EXPECT_TRUE(exists(f));
    EXPECT_EQ(kOldStaging, state(kStaging));
    if (c.status == 4 && c.md5 == md5) {
      EXPECT_EQ(0, fwvet({"-c", "-f", f}).status);
    } else if (c.status == 4) {
      // The check's verdict, and extraction's.
      expect_json(f, "status extract_status", 8, "status=8\nextract_status=4\n");
    }
  }

  // 2^31 bytes through a pipe: fwpack refuses it and leaves nothing, once it
  // has read as much (where the disk has room to hold that).
  struct statvfs fs;
  if (statvfs(dir.c_str(), &fs) != 0 || static_cast<double>(fs.f_bavail) * fs.f_frsize < 2.5 * (1LL << 30)) return;
  const Result r = fwpack({"-o", path("big.out"), "-"}, {}, [] {
    int p[2];
    if (pipe(p) != 0 || dup2(p[0], 0) < 0) _exit(126);
    if (fork() == 0) {
      static char zeros[1 << 16];
      for (long long left = 1LL << 31; left > 0; left -= sizeof zeros)
        if (write(p[1], zeros, sizeof zeros) != static_cast<ssize_t>(sizeof zeros)) _exit(1);
      _exit(0);
    }
    close(p[1]);
  });
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("2 GiB or more")) << r.err;
  EXPECT_NE(0, system(("ls -A " + dir + " | grep -q 'big.out\\|^\\.fwpack'").c_str()));
}

// A build with trusted keys (the test keys 1 and 2): only files that a list
// signed by one of them vouches for pass, the statuses of a build without
// keys keep their meaning, and the verdict agrees with signify's wherever the
// list names the file.
TEST_F(Fwvet, SignedUpgrades) {
  if (env("FWVET_SIGNED") != "1") GTEST_SKIP() << "a build without trusted keys";
  // A product's build trusts none of the test keys: it refuses what they
  // sign, for their keys.
  const bool trusted = !env("FWVET_TEST_KEYS").empty();
  const std::string keys = env("FWVET_KEYS") + "/", in = path("payload"), list = path("list");
  auto quiet = [&](const std::string &cmd) { return system(("cd " + dir + " && { " + cmd + "; } > /dev/null 2>&1").c_str()); };
  auto edit = [&](const std::string &file, const std::function<void(std::string &)> &change) {
    std::string data = slurp(file);
    change(data);
    spit(file, data);
  };
  // The payload A + S whose twin B + S has the same MD5 (a published
  // colliding pair: same digest from MD5's initial state).
  auto unhex = [](const char *hex) {
    std::string s;
    for (; hex[0] && hex[1]; hex += 2) s += static_cast<char>(std::stoi(std::string(hex, 2), nullptr, 16));
    return s;
  };
  const std::string a = unhex(
      "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f8955ad340609f4b30283e488832571415a085125e8f7cdc"
      "99fd91dbdf280373c5b960b1dd1dc417b9ce4d897f45a6555d535739ac7f0ebfd0c3029f166d109b18f75277f7930d55ceb22e8adba79"
      "cc155ced74cbdd5fc5d36db19b0ad835cca7e3");
  const std::string body = a + payload(30000), twin =
      "d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f8955ad340609f4b30283e4888325f1415a085125e8f7cdc99"
      "fd91dbd7280373c5b960b1dd1dc417b9ce4d897f45a6555d535739a47f0ebfd0c3029f166d109b18f75277f7930d55ceb22e8adba794c1"
      "55ced74cbdd5fc5d36db19b0a5835cca7e3";
  const std::string p63 = path(std::string(63 - path("").size() - 4, 'f') + ".bin");
  // Each row: the file it names, its list (sha256sum --tag lines made in the
  // test folder, "F" for the file's), the key ("-": no FILE.sig, "/": a
  // folder of that name), then a change to FILE.sig; fwpack -j's reason
  // (and ":line"), where the row pins it, with the key's number.
  const struct {
    const char *name;
    std::string file, lines;
    const char *key;
    std::function<void(std::string &)> change;
    int status;  // -1: 0 where signify -C accepts the file, 11 where not
    const char *why = nullptr;
  } cases[] = {
      {"good", "fw.bin", "F", "k1", nullptr, -1},
      {"the second trusted key", "fw.bin", "F", "k2", nullptr, -1},
      {"a 63-byte path", p63, "F", "k1", nullptr, -1},
      {"the file's line last of many", "fw.bin", "payload list F", "k1", nullptr, -1},
      {"another name, the file's digest", "fw.bin", "R", "k1", nullptr, 0},
      {"SHA512 lines besides", "fw.bin", "5 F 5", "k2", nullptr, -1},
      {"a SHA512 line alone", "fw.bin", "5", "k1", nullptr, 11, "not-listed"},
      {"an untrusted key", "fw.bin", "F", "k3", nullptr, -1, "untrusted-key"},
      {"another key with a trusted key's number", "fw.bin", "F", "k4", nullptr, -1, "bad-signature"},
      {"another file's digest", "fw.bin", "W", "k1", nullptr, -1, "not-listed"},
      {"no FILE.sig", "fw.bin", "F", "-", nullptr, -1, "missing"},
      {"FILE.sig a folder", "fw.bin", "F", "/", nullptr, -1, "not-a-file"},
      {"no line for the file", "fw.bin", "payload", "k1", nullptr, 11},
      {"a blank line", "fw.bin", "F _", "k1", nullptr, -1},
      {"a comment line", "fw.bin", "# F", "k1", nullptr, -1},
      {"other algorithms' lines besides", "fw.bin", "B2 F S1 M", "k1", nullptr, -1},
      // signify stops at a line for the file in an algorithm it cannot
      // compute; the device, which compares no name, passes over it.
      {"an MD5 line for the file before its own", "fw.bin", "M F", "k1", nullptr, 0},
      {"a backslash-escaped name for another file", "fw.bin", "ESC F", "k2", nullptr, -1},
      {"CRLF line ends", "fw.bin", "payload F CRLF", "k1", nullptr, -1},
      {"no final newline", "fw.bin", "payload F NOEOL", "k1", nullptr, -1},
      {"tabs between the fields", "fw.bin", "F TAB", "k1", nullptr, -1},
      {"two spaces between the fields", "fw.bin", "F 2SP", "k1", nullptr, -1},
      {"white space before the line", "fw.bin", "F LEAD", "k1", nullptr, -1},
      {"text after the digest", "fw.bin", "F TAIL", "k1", nullptr, -1},
      {"a NUL after the file's line", "fw.bin", "F NUL", "k1", nullptr, -1},
      {"a NUL before it", "fw.bin", "payload NUL F", "k1", nullptr, -1},
      {"no space before the parenthesis", "fw.bin", "payload F NOSP", "k1", nullptr, -1, "bad-line:2"},
      {"an algorithm past signify's 31 bytes", "fw.bin", "F LONGALGO", "k1", nullptr, -1, "bad-line:2"},
      {"a name past its 1023", "fw.bin", "F LONGNAME", "k1", nullptr, -1, "bad-line:2"},
      {"\"=\" against the name", "fw.bin", "F EQ", "k1", nullptr, -1},
      {"a space in another name", "fw.bin", "SPNAME F", "k1", nullptr, -1},
      {"a parenthesis after the name", "fw.bin", "F PAREN", "k1", nullptr, -1},
      {"an empty name", "fw.bin", "F NONAME", "k1", nullptr, -1},
      {"a line of white space", "fw.bin", "F BLANK", "k1", nullptr, -1},
      {"no digest after \"=\"", "fw.bin", "F NODIGEST", "k1", nullptr, -1},
      {"upper-case hex", "fw.bin", "U", "k1", nullptr, -1},
      {"the untagged form", "fw.bin", "H", "k1", nullptr, -1},
      {"a detached signature", "fw.bin", "", "k1", nullptr, -1, "malformed"},
      {"the list altered after signing", "fw.bin", "payload F", "k1", [](std::string &d) { d[d.rfind("SHA256") - 3] ^= 1; }, -1, "bad-signature"},
      {"an empty comment", "fw.bin", "F", "k1", [](std::string &d) { d.erase(19, d.find('\n') - 19); }, -1, "malformed"},
      {"a comment of 1024 bytes", "fw.bin", "F", "k1", [](std::string &d) { d.replace(19, d.find('\n') - 19, std::string(1024, 'c')); }, -1, "malformed"},
      {"a comment of 1023", "fw.bin", "F", "k1", [](std::string &d) { d.replace(19, d.find('\n') - 19, std::string(1023, 'c')); }, -1},
      {"a NUL in the comment", "fw.bin", "F", "k1", [](std::string &d) { d[20] = '\0'; }, -1, "malformed"},
      {"a NUL after the base64", "fw.bin", "F", "k1", [](std::string &d) { d.insert(d.find('\n', d.find('\n') + 1), 1, '\0'); }, -1, "malformed"},
      {"the comment altered", "fw.bin", "F", "k1", [](std::string &d) { d.insert(19, "changed "); }, -1},
      {"text after the base64 line", "fw.bin", "F", "k1", [](std::string &d) { d.insert(d.find('\n', d.find('\n') + 1), " x"); }, -1},
      {"over 64 KiB", "fw.bin", "F", "k1", [](std::string &d) { d.insert(19, std::string(66000, 'c')); }, 11, "not-a-file"},
      {"a payload byte flipped, its MD5 left", "fw.bin", "F", "k1", nullptr, 8},
      {"a wrong magic", "fw.bin", "F", "k1", nullptr, 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string f = c.file[0] == '/' ? c.file : path(c.file), sig = f + ".sig";
    const std::string name = f.substr(dir.size() + 1);
    ASSERT_EQ(0, system(("rm -rf " + dir + "/*.sig " + f).c_str()));
    spit(in, body);
    std::vector<std::string> pack = this_device();
    pack.insert(pack.end(), {"-o", f, in});
    ASSERT_EQ(0, fwpack(pack).status);
    if (c.status == 8) edit(f, [](std::string &d) { d[300] ^= 1; });
    if (c.status == 3) edit(f, [](std::string &d) { d[0] = 0; });
    std::string text;
    std::istringstream words(c.lines);
    // Upper-case words change the list so far as signify's reader would
    // see it: line ends, white space, text and NULs within and around lines.
    const std::map<std::string, std::function<void(std::string &)>> forms = {
        {"CRLF", [](std::string &t) { for (size_t k = t.find('\n'); k != std::string::npos; k = t.find('\n', k + 2)) t.insert(k, "\r"); }},
        {"NOEOL", [](std::string &t) { t.pop_back(); }},
        {"TAB", [](std::string &t) { for (char &ch : t) ch = ch == ' ' ? '\t' : ch; }},
        {"2SP", [](std::string &t) { for (size_t k = t.find(' '); k != std::string::npos; k = t.find(' ', k + 2)) t.insert(k, " "); }},
        {"LEAD", [](std::string &t) { t.insert(t.rfind("SHA256 ("), " \t"); }},
        {"TAIL", [](std::string &t) { t.insert(t.size() - 1, "  and so on"); }},
        {"NUL", [](std::string &t) { t += std::string("\0# not a line\n", 15); }},
        {"NOSP", [](std::string &t) { t.erase(t.rfind("SHA256 (") + 6, 1); }},
        {"EQ", [](std::string &t) { t.erase(t.rfind(") = ") + 1, 1); }},
        {"SPNAME", [](std::string &t) { t += "SHA256 (pay load) = " + std::string(64, '0') + "\n"; }},
        {"PAREN", [](std::string &t) { t.insert(t.rfind(") = "), ")"); }},
        {"NONAME", [](std::string &t) { t += "SHA256 () = " + std::string(64, '0') + "\n"; }},
        {"BLANK", [](std::string &t) { t += " \t\r\n"; }},
        {"NODIGEST", [](std::string &t) { t += "SHA256 (other) = \r\n"; }},
        {"LONGALGO", [](std::string &t) { t += std::string(32, 'S') + " (x) = " + std::string(64, '0') + "\n"; }},
        {"LONGNAME", [](std::string &t) { t += "SHA256 (" + std::string(1024, 'n') + ") = " + std::string(64, '0') + "\n"; }},
    };
    for (std::string w; words >> w;) {
      if (forms.count(w)) {
        forms.at(w)(text);
        continue;
      }
      const std::string tag = "sha256sum --tag " + name + " > " + list;
      ASSERT_EQ(0, quiet(w == "5" ? "sha512sum --tag " + name + " > " + list
                         : w == "F" || w == "R" || w == "U" ? tag
                         : w == "H" ? "sha256sum " + name + " > " + list
                         : w == "W" ? "sha256sum --tag payload | sed 's/payload/" + name + "/' > " + list
                         : w == "M" ? "md5sum --tag " + name + " > " + list
                         : w == "S1" ? "sha1sum --tag " + name + " > " + list
                         : w == "B2" ? "b2sum --tag payload > " + list
                         : w == "ESC" ? "cp payload 'pay\\load' && sha256sum --tag 'pay\\load' > " + list
                         : w == "_" || w == "#" ? "echo '#' > " + list
                                                : "sha256sum --tag " + w + " > " + list));
      std::string line = w == "_" ? "\n" : slurp(list);
      if (w == "R") line.replace(8, name.size(), "renamed.bin");
      if (w == "U") for (size_t k = line.size() - 65; k < line.size(); k++) line[k] = static_cast<char>(toupper(line[k]));
      text += line;
    }
    spit(list, text);
    if (*c.key == '/') {
      ASSERT_EQ(0, mkdir(sig.c_str(), 0700));
    } else if (*c.key == 'k') {
      ASSERT_EQ(0, quiet(c.lines.empty() ? "signify-openbsd -S -s " + keys + c.key + ".sec -m " + name
                                         : "signify-openbsd -S -e -s " + keys + c.key + ".sec -m list -x " + name + ".sig"));
    }
    if (c.change) edit(sig, c.change);
    const bool accepted = quiet("signify-openbsd -C -p " + keys + "k1.pub -x " + name + ".sig " + name) == 0 ||
                          quiet("signify-openbsd -C -p " + keys + "k2.pub -x " + name + ".sig " + name) == 0;
    const int signed_status = c.status >= 0 ? c.status : accepted ? 0 : 11;
    const std::string file = slurp(f), signature = state(sig);
    // fwpack names the reason, the key's number where the signature line
    // names one, the line signify would not read; the file's SHA-256.
    const bool unsigned_verdict = signed_status == 3 || signed_status == 8;  // before the signature
    std::string why = signed_status == 0 ? "good" : unsigned_verdict ? "None" : c.why ? c.why : "";
    const bool keyed = !why.empty() && why != "None" && why != "missing" && why != "not-a-file" && why != "malformed";
    const int status = trusted || unsigned_verdict ? signed_status : 11;
    if (!trusted && keyed) why = "untrusted-key";
    if (!why.empty()) {
      const size_t colon = why.find(':');
      ASSERT_EQ(0, quiet("sed -n 2p " + keys + c.key + ".pub 2>/dev/null | base64 -d | od -An -tx1 -j2 -N8 | tr -d ' \\n' > keynum"));
      ASSERT_EQ(0, quiet("sha256sum < " + name + " | cut -c1-64 | tr -d '\\n' > sha"));
      expect_json(f, "signature key line sha256", status,
                  "signature=" + why.substr(0, colon) + "\nkey=" + (keyed ? slurp(path("keynum")) : "None") +
                      "\nline=" + (colon != std::string::npos ? why.substr(colon + 1) : "None") + "\nsha256=" +
                      slurp(path("sha")) + "\n");
    }

    for (const bool extract : {false, true}) {
      plant_staging();
      const Result r = extract ? fwvet({"-f", f}) : fwvet({"-c", "-f", f});
      EXPECT_EQ(status, r.status) << (extract ? "extract" : "check");
      EXPECT_EQ(kMessages[status], r.out);
      const bool staged = extract && status == 0;
      EXPECT_EQ(staged ? "<absent>" : shown(file), state(f));
      EXPECT_EQ(staged ? "<absent>" : signature, state(sig));
      EXPECT_EQ(staged ? shown(file.substr(128)) : kOldStaging, state(kStaging));
    }
  }

  // The file rewritten in place between the check and the copy, into its
  // twin of the same MD5, B + S (11), or into anything else (8, as without
  // keys): never staged. Every transfer a byte short, or interrupted once:
  // the signed bytes staged all the same.
  if (!trusted) {
    printf("note: the rows of a file changed mid-run need this build's secret key: skipped\n");
    return;
  }
  const std::string f = path("fw.bin");
  for (const char *action : {"twin", "alter", "short", "eintr"}) {
    spit(in, body);
    std::vector<std::string> pack = this_device();
    pack.insert(pack.end(), {"-o", f, in});
    ASSERT_EQ(0, fwpack(pack).status);
    ASSERT_EQ(0, quiet("sha256sum --tag fw.bin > list && signify-openbsd -S -e -s " + keys + "k1.sec -m list -x fw.bin.sig"));
    const std::string file = slurp(f);
    plant_staging();
    // A binary built elsewhere, static, takes no preloaded library.
    if (env("FWVET_SHIM").empty()) break;
    const Result r = fwvet({"-f", f}, {{"LD_PRELOAD", env("FWVET_SHIM")}, {"FWVET_SHIM_FILE", f}, {"FWVET_SHIM_ACTION", action},
                                      {"FWVET_SHIM_AT", "open2"}, {"FWVET_SHIM_DATA", twin}});
    const int status = *action == 't' ? 11 : *action == 'a' ? 8 : 0;
    EXPECT_EQ(status, r.status) << action;
    EXPECT_EQ(status == 0 ? shown(file.substr(128)) : kOldStaging, state(kStaging)) << action;
  }
}

// The device's identity. Each row's file differs from one this build takes
// (its first model, hardware and type, another release, its floor) in the
// fields it names: "M" is the build's first model, "M2" its second, "M-" the
// longest prefix of it that is no model, "M " with a space, "M^" in capitals, "M32" a
// 32-byte one; "W", "W2", "T", "T2", "S" (the running release) and "F" (the
// floor) likewise; other values as they stand. Fields the build leaves open
// take the test identity's values, and any value passes them. The status is
// the first field this build refuses in the check's order (type, model,
// hardware, release, floor); the column gives it for the test identity of
// the signed presets (models router-a1, router-a and a 32-byte name,
// hardware rev3 and rev3b, types 0 and 2, release 2.4.0, floor
// 1700000000). In a keys build whose keys are not the test keys, a file
// that passes its identity is refused for its signature (11).
TEST_F(Fwvet, IdentityOfTheDevice) {
  const std::string keys = env("FWVET_KEYS");
  const bool signs = env("FWVET_SIGNED") == "1", trusted = !env("FWVET_TEST_KEYS").empty();
  const struct {
    const char *name;
    std::vector<std::string> t, m, w, s;  // fwpack's -t, -m, -w, -s; {} for this device's
    const char *time;                      // SOURCE_DATE_EPOCH
    std::string model;                     // where set, the header's 32 model bytes
    char damage;                           // 'm': magic, 'd': a payload byte
    int status;
  } cases[] = {
      {"this device, at the floor", {}, {}, {}, {}, "F", "", 0, 0},
      {"a former name, the other type and hardware", {"T2"}, {"M2"}, {"W2"}, {}, "F+1", "", 0, 0},
      {"another model", {}, {"router-zz"}, {}, {}, "F", "", 0, 5},
      {"a model's prefix", {}, {"M-"}, {}, {}, "F", "", 0, 5},
      {"a model and a space", {}, {"M "}, {}, {}, "F", "", 0, 5},
      {"a model in capitals", {}, {"M^"}, {}, {}, "F", "", 0, 5},
      {"no model", {}, {""}, {}, {}, "F", "", 0, 5},
      {"32 bytes without a NUL", {}, {}, {}, {}, "F", "M32", 0, 0},
      {"the first 31 of them", {}, {}, {}, {}, "F", "M32-", 0, 5},
      {"bytes after the NUL", {}, {}, {}, {}, "F", "M\\0", 0, 0},
      {"other hardware", {}, {}, {"rev4"}, {}, "F", "", 0, 7},
      {"no hardware", {}, {}, {""}, {}, "F", "", 0, 7},
      {"another type", {"1"}, {}, {}, {}, "F", "", 0, 9},
      {"type 255", {"255"}, {}, {}, {}, "F", "", 0, 9},
      {"the running release", {}, {}, {}, {"S"}, "F", "", 0, 6},
      {"a release that begins as it", {}, {}, {}, {"S.1"}, "F", "", 0, 0},
      {"a second older than the floor", {}, {}, {}, {}, "F-1", "", 0, 12},
      {"time 0", {}, {}, {}, {}, "0", "", 0, 12},
      {"all wrong: the type first", {"1"}, {"x"}, {"x"}, {"S"}, "0", "", 0, 9},
      {"then the model", {}, {"x"}, {"x"}, {"S"}, "0", "", 0, 5},
      {"then the hardware", {}, {}, {"x"}, {"S"}, "0", "", 0, 7},
      {"then the release", {}, {}, {}, {"S"}, "0", "", 0, 6},
      {"another model and a payload byte changed", {}, {"x"}, {}, {}, "F", "", 'd', 5},
      {"another model and a wrong magic", {}, {"x"}, {}, {}, "F", "", 'm', 3},
  };
  const std::vector<std::string> types = id_list("TYPES"), models = id_list("MODEL"), hws = id_list("HWVER");
  const std::string release = env("FWVET_ID_SWVER"), floor = env("FWVET_ID_NOT_BEFORE");
  bool test_identity = true;
  for (const auto &[field, list] : kTestIdentity) test_identity = test_identity && id_list(field.c_str()) == list;
  // The value a token stands for in the names from; "\x01" where there is
  // no such value (the row is skipped).
  auto value = [&](const std::string &v, const std::vector<std::string> &from) {
    if (v.size() < 1 || (v[0] != 'M' && v[0] != 'W' && v[0] != 'T')) return v;
    if (v.size() > 1 && v[1] == '2') return from.size() > 1 ? from[1] : std::string("\x01");
    std::string first = from[0];
    // A prefix that is no name of the list.
    while (v == "M-" && !first.empty() && (first == from[0] || std::count(from.begin(), from.end(), first))) first.pop_back();
    if (v == "M-") return first.empty() ? std::string("\x01") : first;
    if (v == "M ") return first.size() < 31 ? first + " " : std::string("\x01");
    if (v == "M^") for (char &ch : first) ch = static_cast<char>(toupper(ch));
    return v == "M^" && first == from[0] ? std::string("\x01") : first;
  };
  const std::string in = path("payload"), f = path("fw.bin");
  spit(in, payload(20000));
  int skipped = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, system(("rm -f " + f + " " + f + ".sig").c_str()));
    const std::vector<std::string> names = id_list("MODEL", true);
    const std::string type = value(c.t.empty() ? "T" : c.t[0], id_list("TYPES", true));
    const std::string hw = value(c.w.empty() ? "W" : c.w[0], id_list("HWVER", true));
    std::string model = value(c.m.empty() ? "M" : c.m[0], names);
    std::string sw = c.s.empty() ? next_release() : c.s[0];
    if (sw[0] == 'S') sw = id_list("SWVER", true)[0] + sw.substr(1);
    const long long base = std::stoll(id_list("NOT_BEFORE", true)[0]);
    const std::string time = c.time[0] != 'F' ? c.time : std::to_string(base + (c.time[1] ? std::stoll(c.time + 1) : 0));
    // The header's 32 model bytes, where the row sets them.
    std::string bytes;
    for (const auto &n : names) if (c.model.rfind("M32", 0) == 0 && n.size() == 32) bytes = c.model == "M32" ? n : n.substr(0, 31) + '\0';
    if (c.model == "M\\0" && model.size() < 32) bytes = model + '\0' + std::string(31 - model.size(), 'j');
    if (model == "\x01" || type == "\x01" || hw == "\x01" || sw.size() > 31 || (!c.model.empty() && bytes.empty())) {
      skipped++;
      continue;
    }
    if (!bytes.empty()) model = bytes.substr(0, bytes.find('\0'));
    ASSERT_EQ(0, fwpack({"-t", type, "-m", model.substr(0, 31), "-w", hw, "-s", sw, "-o", f, in}, {{"SOURCE_DATE_EPOCH", time}}).status);
    std::string file = slurp(f);
    if (!bytes.empty()) file.replace(6, 32, bytes);
    if (c.damage == 'm') file[0] = 0;
    if (c.damage == 'd') file[500] ^= 1;
    spit(f, file);
    if (signs && trusted) {
      ASSERT_EQ(0, system(("cd " + dir + " && sha256sum --tag fw.bin > list && signify-openbsd -S -e -s " + keys +
                           "/k1.sec -m list -x fw.bin.sig").c_str()));
    }
    auto in_list = [](const std::vector<std::string> &list, const std::string &v) {
      return list.empty() || std::find(list.begin(), list.end(), v) != list.end();
    };
    bool type_ok = types.empty();
    for (const auto &t : types) type_ok = type_ok || std::stoi(t) == std::stoi(type);
    const int status = c.damage == 'm'                          ? 3
                       : !type_ok                               ? 9
                       : !in_list(models, model)                ? 5
                       : !in_list(hws, hw)                      ? 7
                       : !release.empty() && sw == release      ? 6
                       : !floor.empty() && std::stoll(time) < base ? 12
                       : c.damage == 'd'                        ? 8
                       : signs && !trusted                      ? 11
                                                                : 0;
    if (test_identity) {
      EXPECT_EQ(c.status, status) << "the order of the checks";
    }
    for (const bool extract : {false, true}) {
      plant_staging();
      const Result r = extract ? fwvet({"-f", f}) : fwvet({"-c", "-f", f});
      EXPECT_EQ(status, r.status) << (extract ? "extract" : "check");
      EXPECT_EQ(kMessages[status], r.out);
      EXPECT_EQ(shown(extract && status == 0 ? file.substr(128) : kOldStaging), state(kStaging));
      EXPECT_EQ(extract && status == 0 ? "<absent>" : shown(file), state(f));
      if (!extract) expect_json(f, "status", status, "status=" + std::to_string(status) + "\n");
    }
  }
  if (skipped > 0) printf("note: %d rows need values this build's identity does not have\n", skipped);
}

// What fwpack makes is what fwvet accepts, byte for byte the layout.
TEST_F(Fwvet, PackedFilesRoundTrip) {
  const std::string in = path("payload"), out = path("fw.bin");
  for (size_t n : {0, 1, 55, 56, 63, 64, 65, 1023, 1024, 1025, 10239, 10240, 10241, 65536, 65537, 200003}) {
    SCOPED_TRACE("payload of " + std::to_string(n));
    const std::string body = payload(n, static_cast<uint32_t>(n) + 99);
    spit(in, body);
    // -t is decimal, never octal; the new file is 0666 less the umask.
    const Result p = fwpack({"-t", "010", "-m", "fw-model1", "-s", "1.2.3", "-o", out, in}, {{"SOURCE_DATE_EPOCH", "0"}},
                            [] { umask(027); });
    EXPECT_EQ(0, p.status);
    EXPECT_EQ("", p.out + p.err);
    EXPECT_EQ(shown(upgrade(body).replace(4, 1, "\x0a")), state(out));
    EXPECT_EQ(0640u, mode_of(out));
    EXPECT_EQ(0, fwpack({"-i", out}).status);
    EXPECT_EQ(0, fwvet({"-c", "-f", out}).status);
  }
  // fwpack gives the verdict on the file at any path; only fwvet limits it.
  const std::string deep = path(std::string(100, 'd'));
  ASSERT_EQ(0, rename(out.c_str(), deep.c_str()));
  expect_json(deep, "status", 0, "status=0\n");
  EXPECT_EQ(1, fwvet({"-c", "-f", deep}).status);

  // Every field in its place, and shown.
  spit(in, "abc");
  const Result p = fwpack({"-t", "0x7f", "-m", std::string(31, 'm'), "-s", "2.0", "-w", "rev\"3", "-o", out, in},
                          {{"SOURCE_DATE_EPOCH", "1700000000"}});
  EXPECT_EQ(0, p.status) << p.err;
  std::string want = upgrade("abc");
  want.replace(4, 1, "\x7f").replace(6, 31, std::string(31, 'm')).replace(38, 5, std::string("2.0\0\0", 5));
  want.replace(70, 5, "rev\"3").replace(118, 4, "\x65\x53\xf1\x00", 4);
  EXPECT_EQ(shown(want), state(out));
  const Result i = fwpack({"-i", out});
  EXPECT_EQ(0, i.status);
  for (const char *line : {"magic    abcd1234 (good)", "type     127", "swver    \"2.0\"", "hwver    \"rev\\\"3\"",
                           "md5      900150983cd24fb0d6963f7d28e17f72", "time     2023-11-14 22:13:20 UTC (1700000000)",
                           "payload  3 bytes", "verdict  passes"})
    EXPECT_NE(std::string::npos, i.out.find(std::string(line) + "\n")) << line << " not in\n" << i.out;
  expect_json(out, "type model hwver time time_utc md5 payload status extract_status verdict", 0,
              "type=127\nmodel=" + std::string(31, 'm') +
                  "\nhwver=rev\"3\ntime=1700000000\ntime_utc=2023-11-14T22:13:20Z\n"
                  "md5=900150983cd24fb0d6963f7d28e17f72\npayload=3\nstatus=0\nextract_status=0\nverdict=passes\n");
  ASSERT_EQ(0, fwvet({"-f", out}).status);
  EXPECT_EQ("abc", state(kStaging));

  // Text fields escaped as JSON needs, UTF-8 passed through, other bytes
  // U+FFFD; what cannot be read is still an object.
  const std::string odd = std::string(upgrade("")).replace(6, 9, std::string("q\"\\\x01\x7f\xc3\xa9\xe9z", 9));
  const std::string utf8 = path("\xc3\xa9.bin");
  spit(utf8, odd);
  expect_json(utf8, "model file", 0, "model=q\"\\\x01\x7f\xc3\xa9\ufffdz\nfile=" + utf8 + "\n");
  EXPECT_NE(std::string::npos, fwpack({"-i", utf8}).out.find("\"q\\\"\\\\\\x01\\x7f\\xc3\\xa9\\xe9z\""));
  spit(out, odd);
  spit(out, odd.substr(0, 100));
  expect_json(out, "status model", 2, "status=2\nmodel=None\n");
  expect_json(path("missing"), "status", 1, "status=1\n");

  // The report comes before the error, also where both go to one place.
  const Result both = fwpack({"-i", out}, {}, [] { dup2(1, 2); });
  EXPECT_EQ("file     \"" + out + "\"\nfwpack: " + out + ": shorter than the 128-byte header\n", both.out);

  // The payload from standard input, a file or a pipe.
  const std::string body = payload(100000, 3);
  spit(in, body);
  for (const bool piped : {false, true}) {
    const Result streamed = fwpack({"-m", "fw-model1", "-s", "1.2.3", "-o", out, "-"}, {{"SOURCE_DATE_EPOCH", "0"}}, [&] {
      int fds[2];
      if (!piped) {
        fds[0] = open(in.c_str(), O_RDONLY);
      } else if (pipe(fds) != 0) {
        _exit(126);
      } else if (fork() == 0) {
        _exit(write(fds[1], body.data(), body.size()) == static_cast<ssize_t>(body.size()) ? 0 : 1);
      } else {
        close(fds[1]);
      }
      if (dup2(fds[0], 0) < 0) _exit(126);
    });
    EXPECT_EQ(0, streamed.status) << streamed.err;
    EXPECT_EQ(shown(upgrade(body)), state(out)) << (piped ? "pipe" : "file");
  }
}

// A refused or failed pack leaves OUT as it was and nothing beside it.
TEST_F(Fwvet, PackFailsWhole) {
  const std::string in = path("payload"), out = path("fw.bin"), big = path("big");
  spit(in, payload(300000));
  spit(big, "");
  ASSERT_EQ(0, truncate(big.c_str(), 1LL << 31));
  const struct {
    std::vector<std::string> args;
    int status;
    const char *err;
  } cases[] = {
      {{"-m", std::string(32, 'm'), "-o", out, in}, 1, "longer than 31 bytes"},
      {{"-w", std::string(40, 'w'), "-o", out, in}, 1, "longer than 31 bytes"},
      {{"-t", "256", "-o", out, in}, 1, "not a number from 0 to 255"},
      {{"-t", "-1", "-o", out, in}, 1, "not a number from 0 to 255"},
      {{"-o", out, path("missing")}, 1, "missing: No such file or directory"},
      {{"-o", out, big}, 1, "2 GiB or more"},
      {{"-o", out, dir}, 1, "Is a directory"},
      {{"-o", path("no/such/dir"), in}, 1, "No such file or directory"},
      {{"-o", "", in}, 1, "fwpack: -o: empty path"},
      {{"-o", out, "-z", in}, 64, "invalid option"},
      {{"-o", out}, 64, "fwpack: missing payload"},
      {{"-i", out, "-o", out, in}, 64, "not both"},
      {{"-o", out, in, "extra"}, 64, "fwpack: extra operand: extra"},
      {{"-o", out, in, "-m", "x"}, 64, "fwpack: option after the payload: -m"},
      {{"-m", "x", in, "-o", out}, 64, "fwpack: option after the payload: -o"},
      {{"-i", out, "-j", out}, 64, "once"},
      {{"-i", out, "-m", "x"}, 64, "not both: -m"},
      {{"-t", " 5", "-o", out, in}, 1, "not a number"},
      {{"-t", "+5", "-o", out, in}, 1, "not a number"},
      {{"-o", "-", in}, 64, "fwpack: -o -: an upgrade file cannot be streamed"},
  };
  auto listing = [&] { return std::to_string(system(("test $(ls -A " + dir + " | grep -cvx '.out\\|.err') = 3").c_str())); };
  for (const auto &c : cases) {
    std::string line;
    for (const auto &a : c.args) line += " " + a.substr(0, 40);
    SCOPED_TRACE("fwpack" + line);
    spit(out, "the previous upgrade file");
    const Result r = fwpack(c.args);
    EXPECT_EQ(c.status, r.status);
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    EXPECT_EQ(c.status == 64, r.err.find("usage: fwpack") != std::string::npos) << r.err;
    EXPECT_EQ("the previous upgrade file", state(out));
    EXPECT_EQ("0", listing());  // payload, big, fw.bin: nothing left beside them
  }

  // Writes past 100000 bytes fail (EFBIG) part-way through the payload.
  const Result r = fwpack({"-o", out, in}, {}, [] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit lim = {100000, 100000};
    setrlimit(RLIMIT_FSIZE, &lim);
  });
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("File too large")) << r.err;
  EXPECT_EQ("the previous upgrade file", state(out));
  EXPECT_EQ("0", listing());

  // Only a decimal count of seconds that the header's 32 bits can hold.
  for (const char *epoch :
       {"abc", "", "-1", " 1", "+1", "4294967296", "1700000000x", "99999999999999999999", "18446744073709551617"}) {
    const Result e = fwpack({"-o", out, in}, {{"SOURCE_DATE_EPOCH", epoch}});
    EXPECT_EQ(1, e.status) << epoch;
    EXPECT_EQ("fwpack: SOURCE_DATE_EPOCH \"" + std::string(epoch) +
                  "\": not a whole number of seconds from 0 to 4294967295\n",
              e.err);
    EXPECT_EQ("the previous upgrade file", state(out));
    EXPECT_EQ("0", listing());
  }

  // Killed while it reads a payload from a pipe: nothing left beside OUT.
  for (const int sig : {SIGINT, SIGTERM}) {
    const Result k = fwpack({"-o", out, "-"}, {}, [sig] {
      int p[2];
      if (pipe(p) != 0 || dup2(p[0], 0) < 0) _exit(126);
      if (fork() == 0) {
        const pid_t packer = getppid();
        if (write(p[1], "part", 4) != 4) _exit(1);
        sleep(1);
        kill(packer, sig);
        _exit(0);
      }
      close(p[1]);
    });
    EXPECT_EQ(128 + sig, k.status);
    EXPECT_EQ("the previous upgrade file", state(out));
    EXPECT_EQ("0", listing());
  }

  // OUT that is not a regular file is not replaced by one.
  const std::string fifo = path("fifo"), sub = path("sub"), link = path("link");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
  ASSERT_EQ(0, symlink(sub.c_str(), link.c_str()));
  for (const std::string &o : {std::string("/dev/null"), fifo, sub, link}) {
    struct stat before, after;
    ASSERT_EQ(0, lstat(o.c_str(), &before));
    const Result n = fwpack({"-o", o, in});
    EXPECT_EQ(1, n.status) << o;
    EXPECT_EQ("fwpack: " + o + ": not a regular file\n", n.err);
    ASSERT_EQ(0, lstat(o.c_str(), &after));
    EXPECT_EQ(before.st_mode, after.st_mode) << o;
    EXPECT_EQ(before.st_ino, after.st_ino) << o;
  }

  const Result h = fwpack({"-h"});
  EXPECT_EQ(0, h.status);
  EXPECT_EQ(0u, h.out.find("usage: fwpack"));
  // A standard output that cannot be written is a failure of its own.
  spit(out, upgrade("abc"));
  for (const auto &args : {std::vector<std::string>{"-h"}, std::vector<std::string>{"-j", out}}) {
    const Result full = fwpack(args, {}, [] {
      if (dup2(open("/dev/full", O_WRONLY), 1) < 0) _exit(126);
    });
    EXPECT_EQ(74, full.status) << args[0];
    EXPECT_EQ("fwpack: standard output: No space left on device\n", full.err) << args[0];
  }
}

}  // namespace
