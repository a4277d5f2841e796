// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "harvester/main_window_ops.h"
#include "harvester/proxy_store.h"
#include "harvester/proxy_switch.h"
#include "harvester/script_shell.h"
#include "harvester/status_texts.h"
#include "tests/harvester/isolated_desktop.h"

namespace mivo {
namespace {

using test::GnomeProxy;

constexpr const char* kOff = "已经成功关闭代理!!!";
constexpr const char* kOffFailed = "关闭代理失败: ";
constexpr const char* kRestored = "已关闭代理, 已恢复原来的代理设置";

// Rows as the parser leaves them; row 3 has no port.
void FillRows(HeadlessMainOps& ops) {
  const char* rows[][2] = {{"127.0.0.2", "8080"}, {"127.0.0.3", "3128"}, {"127.0.0.4", ""}, {"127.0.0.5", "70000"}};
  for (auto [address, port] : rows) {
    ops.rows.Append(address);
    ops.rows.SetText(ops.rows.Count(), ProxyColumn::Port, port);
  }
}

std::string Slurp(const std::string& path) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return "<missing>";
  return f.readAll().toStdString();
}

void Spit(const std::string& path, const std::string& bytes) {
  QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
  QFile f(QString::fromStdString(path));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// Passes every call on to `inner` (when there is one), logs it, and refuses
// the step named in `refuse`.
class ScriptedStore : public ProxyStore {
 public:
  ScriptedStore(std::vector<std::string>& log, std::string refuse, std::unique_ptr<ProxyStore> inner = nullptr)
      : log_(log), refuse_(std::move(refuse)), inner_(std::move(inner)) {}

  WriteResult SetServer(const std::string& server) override {
    return Step("server=" + server, "server", [&] { return inner_->SetServer(server); });
  }
  WriteResult SetEnable(std::uint32_t enable) override {
    return Step("enable=" + std::to_string(enable), "enable", [&] { return inner_->SetEnable(enable); });
  }
  WriteResult Announce() override {
    return Step("announce", "announce", [&] { return inner_->Announce(); });
  }

 private:
  template <typename Forward>
  WriteResult Step(std::string entry, const std::string& name, Forward forward) {
    log_.push_back(std::move(entry));
    if (refuse_ == name) return WriteResult::Failed("refused " + name);
    return inner_ ? forward() : WriteResult::Done();
  }

  std::vector<std::string>& log_;
  std::string refuse_;
  std::unique_ptr<ProxyStore> inner_;
};

ProxyStoreOpener Scripted(std::vector<std::string>& log, std::string refuse, ProxyStoreOpener inner = nullptr) {
  return [&log, refuse, inner](std::string& error) -> std::unique_ptr<ProxyStore> {
    if (refuse == "open") {
      error = "no store";
      return nullptr;
    }
    std::unique_ptr<ProxyStore> real;
    if (inner && !(real = inner(error))) return nullptr;
    return std::make_unique<ScriptedStore>(log, refuse, std::move(real));
  };
}

std::unique_ptr<ProxyStore> Gnome(std::string& error) { return OpenGSettingsProxyStore(error); }

// ---- GNOME's store, on the keyfile backend in the test's own folder.

class GnomeSwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteGnomeProxy(kBefore);
    FillRows(ops);
  }

  const GnomeProxy kBefore{"none", "127.0.0.9", 1, "127.0.0.9", 1};
  HeadlessMainOps ops;
};

TEST_F(GnomeSwitch, SetProSetsHostAndPortOfBothSchemesAndTurnsManualOn) {
  ops.selected = 1;
  setPro(ops, Gnome);
  EXPECT_EQ(test::ReadGnomeProxy(), (GnomeProxy{"manual", "127.0.0.2", 8080, "127.0.0.2", 8080}));
  EXPECT_EQ(ops.statusHistory, std::vector<std::string>{"地址: 127.0.0.2 ,端口: 8080 代理成功!"});
  // Written through to the backend's file, not only held in memory.
  EXPECT_NE(Slurp(test::GSettingsKeyfile()).find("'127.0.0.2'"), std::string::npos);
}

TEST_F(GnomeSwitch, CloseProAfterSetProPutsTheUsersOwnBackThenEmptiesTheServer) {
  ops.selected = 2;
  setPro(ops, Gnome);
  closePro(ops, Gnome);
  EXPECT_EQ(test::ReadGnomeProxy(), kBefore);
  EXPECT_EQ(ops.panel2, kRestored);
  closePro(ops, Gnome);
  EXPECT_EQ(test::ReadGnomeProxy(), (GnomeProxy{"manual", "", 0, "", 0}));
  EXPECT_EQ(ops.panel2, kOff);
}

TEST_F(GnomeSwitch, CloseProTwiceWithoutSetProWritesAndSaysTheSameEachTime) {
  ops.rows.Clear();  // closePro does not look at the list
  closePro(ops, Gnome);
  EXPECT_EQ(test::ReadGnomeProxy(), (GnomeProxy{"manual", "", 0, "", 0}));
  test::WriteGnomeProxy(kBefore);
  closePro(ops, Gnome);
  EXPECT_EQ(test::ReadGnomeProxy(), (GnomeProxy{"manual", "", 0, "", 0}));
  EXPECT_EQ(ops.statusHistory, (std::vector<std::string>{kOff, kOff}));
}

TEST_F(GnomeSwitch, SecondSetProReplacesTheFirst) {
  ops.selected = 1;
  setPro(ops, Gnome);
  ops.selected = 2;
  setPro(ops, Gnome);
  EXPECT_EQ(test::ReadGnomeProxy(), (GnomeProxy{"manual", "127.0.0.3", 3128, "127.0.0.3", 3128}));
  EXPECT_EQ(ops.panel2, "地址: 127.0.0.3 ,端口: 3128 代理成功!");
}

TEST_F(GnomeSwitch, EmptyPortWritesTheHostWithPortZero) {
  ops.selected = 3;
  setPro(ops, Gnome);
  EXPECT_EQ(test::ReadGnomeProxy(), (GnomeProxy{"manual", "127.0.0.4", 0, "127.0.0.4", 0}));
  EXPECT_EQ(ops.panel2, "地址: 127.0.0.4 ,端口:  代理成功!");
}

TEST_F(GnomeSwitch, NoSelectedRowWritesNothing) {
  std::vector<std::string> log;
  setPro(ops, Scripted(log, "", Gnome));
  ops.rows.Clear();
  ops.selected = 1;  // an empty list has no row 1
  setPro(ops, Scripted(log, "", Gnome));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(test::ReadGnomeProxy(), kBefore);
  EXPECT_EQ(ops.statusHistory, (std::vector<std::string>{kTextListFirst, kTextListFirst}));
}

TEST_F(GnomeSwitch, RefusedSwitchWriteLeavesTheServerWrittenAndAnnouncesNothing) {
  std::vector<std::string> log;
  ops.selected = 1;
  setPro(ops, Scripted(log, "enable", Gnome));
  EXPECT_EQ(test::ReadGnomeProxy(), (GnomeProxy{"none", "127.0.0.2", 8080, "127.0.0.2", 8080}));
  EXPECT_EQ(log, (std::vector<std::string>{"server=127.0.0.2:8080", "enable=1"}));
  EXPECT_EQ(ops.panel2, kTextListFirst);
}

TEST_F(GnomeSwitch, PortBeyondTheRangeIsRefusedBeforeAnythingIsWritten) {
  ops.selected = 4;
  setPro(ops, Gnome);
  EXPECT_EQ(test::ReadGnomeProxy(), kBefore);
  EXPECT_EQ(ops.panel2, kTextListFirst);
}

TEST_F(GnomeSwitch, MissingSchemaIsRefusedWithoutAborting) {
  std::string error;
  EXPECT_EQ(OpenGSettingsProxyStore(error, "org.example.absent"), nullptr);
  EXPECT_EQ(error, "GSettings 架构 org.example.absent 未安装");
  EXPECT_FALSE(GSettingsUsable("org.example.absent"));
  auto absent = [](std::string& e) { return OpenGSettingsProxyStore(e, "org.example.absent"); };
  ops.selected = 1;
  setPro(ops, absent);
  closePro(ops, absent);
  EXPECT_EQ(ops.statusHistory,
            (std::vector<std::string>{kTextListFirst, "关闭代理失败: GSettings 架构 org.example.absent 未安装"}));
  EXPECT_EQ(test::ReadGnomeProxy(), kBefore);
}

TEST_F(GnomeSwitch, WithoutKdeTheMenuCommandsUseGSettings) {
  EXPECT_TRUE(GSettingsUsable());
  ops.selected = 2;
  setPro(ops);
  EXPECT_EQ(test::ReadGnomeProxy(), (GnomeProxy{"manual", "127.0.0.3", 3128, "127.0.0.3", 3128}));
  closePro(ops);
  EXPECT_EQ(test::ReadGnomeProxy(), kBefore);
}

// ---- Following the row's protocol, and giving the user's own settings back.

struct ProtocolCase {
  const char* type;
  const char* resolved;  // for an http URL
};

void PrintTo(const ProtocolCase& c, std::ostream* os) { *os << "'" << c.type << "'"; }

// GLib offers every SOCKS version it can speak, the newest first.
constexpr const char* kSocks = "socks5://127.0.0.2:8080 socks4a://127.0.0.2:8080 socks4://127.0.0.2:8080";

class RowProtocol : public GnomeSwitch, public ::testing::WithParamInterface<ProtocolCase> {};

TEST_P(RowProtocol, IsWhatGLibsResolverGivesForAnHttpUrl) {
  test::SetGnomeKey("", "ignore-hosts", "@as []");
  ops.rows.SetText(1, ProxyColumn::Type, GetParam().type);
  ops.selected = 1;
  setPro(ops, Gnome);
  EXPECT_EQ(ops.panel2, "地址: 127.0.0.2 ,端口: 8080 代理成功!");
  EXPECT_EQ(test::ResolveProxy("http://127.0.0.1:9/"), GetParam().resolved);
}

INSTANTIATE_TEST_SUITE_P(Types, RowProtocol,
                         ::testing::Values(ProtocolCase{"HTTP", "http://127.0.0.2:8080"},
                                           ProtocolCase{"HTTPS", "http://127.0.0.2:8080"},
                                           ProtocolCase{"SOCKS5", kSocks}, ProtocolCase{"socks4/5", kSocks}));

struct OwnKey {
  const char* child;
  const char* key;
  const char* value;  // GVariant text
};

struct OwnCase {
  const char* name;
  std::vector<OwnKey> own;
};

class OwnSettings : public GnomeSwitch, public ::testing::WithParamInterface<OwnCase> {};

TEST_P(OwnSettings, AreKeptFromTheFirstSetProUntilCloseProPutsThemBack) {
  for (const OwnKey& k : GetParam().own) test::SetGnomeKey(k.child, k.key, k.value);
  ops.rows.SetText(1, ProxyColumn::Type, "SOCKS5");
  ops.selected = 1;
  setPro(ops, Gnome);
  EXPECT_EQ(test::GnomeKey(".socks", "host"), "'127.0.0.2'");
  ops.selected = 2;
  setPro(ops, Gnome);  // the first one's saving stands
  EXPECT_EQ(test::GnomeKey(".socks", "host"), "''");
  ASSERT_NE(Slurp(SavedProxySettingsFile()), "<missing>");

  closePro(ops, Gnome);
  EXPECT_EQ(ops.panel2, kRestored);
  for (const OwnKey& k : GetParam().own) EXPECT_EQ(test::GnomeKey(k.child, k.key), k.value) << k.key;
  EXPECT_EQ(Slurp(SavedProxySettingsFile()), "<missing>");
}

INSTANTIATE_TEST_SUITE_P(Configurations, OwnSettings,
                         ::testing::Values(OwnCase{"Manual",
                                                   {{"", "mode", "'manual'"},
                                                    {".http", "host", "'127.0.0.7'"},
                                                    {".http", "port", "3128"},
                                                    {".socks", "host", "'127.0.0.8'"},
                                                    {".socks", "port", "1080"},
                                                    {"", "ignore-hosts", "['localhost', 'intranet']"}}},
                                           OwnCase{"Automatic",
                                                   {{"", "mode", "'auto'"},
                                                    {"", "autoconfig-url", "'http://127.0.0.1:9/proxy.pac'"}}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The order of the steps and what each failing step leaves behind.

struct StepCase {
  const char* command;
  const char* refuse;
  std::vector<std::string> log;
  std::string status;
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.command << " refusing '" << c.refuse << "'"; }

class SwitchSteps : public ::testing::TestWithParam<StepCase> {};

TEST_P(SwitchSteps, WritesInOrderAndStopsAtTheFailingStep) {
  const StepCase& c = GetParam();
  HeadlessMainOps ops;
  FillRows(ops);
  ops.selected = 1;
  std::vector<std::string> log;
  if (std::string(c.command) == "setPro")
    setPro(ops, Scripted(log, c.refuse));
  else
    closePro(ops, Scripted(log, c.refuse));
  EXPECT_EQ(log, c.log);
  EXPECT_EQ(ops.statusHistory, std::vector<std::string>{c.status});
}

const std::vector<std::string> kSetAll{"server=127.0.0.2:8080", "enable=1", "announce"};
const std::vector<std::string> kCloseAll{"server=", "enable=1", "announce"};
const std::string kSet = "地址: 127.0.0.2 ,端口: 8080 代理成功!";

INSTANTIATE_TEST_SUITE_P(
    Steps, SwitchSteps,
    ::testing::Values(
        StepCase{"setPro", "", kSetAll, kSet}, StepCase{"setPro", "open", {}, kTextListFirst},
        StepCase{"setPro", "server", {kSetAll[0]}, kTextListFirst},
        StepCase{"setPro", "enable", {kSetAll[0], kSetAll[1]}, kTextListFirst},
        // The announcement's result is not the command's.
        StepCase{"setPro", "announce", kSetAll, kSet}, StepCase{"closePro", "", kCloseAll, kOff},
        StepCase{"closePro", "open", {}, std::string(kOffFailed) + "no store"},
        StepCase{"closePro", "server", {kCloseAll[0]}, std::string(kOffFailed) + "refused server"},
        StepCase{"closePro", "enable", {kCloseAll[0], kCloseAll[1]}, std::string(kOffFailed) + "refused enable"},
        StepCase{"closePro", "announce", kCloseAll, kOff}));

// ---- The shell object's Regwrite and the announcement.

struct RegwriteCase {
  std::string path;
  RegValue value;
  std::string type;
  std::string stored;  // the store call, empty when refused
};

void PrintTo(const RegwriteCase& c, std::ostream* os) { *os << c.path << " " << c.type; }

class Regwrite : public ::testing::TestWithParam<RegwriteCase> {};

TEST_P(Regwrite, ReachesOnlyTheTwoValuesWithTheirTypes) {
  const RegwriteCase& c = GetParam();
  std::vector<std::string> log;
  ScriptShell shell(std::make_unique<ScriptedStore>(log, ""));
  const WriteResult r = shell.Regwrite(c.path, c.value, c.type);
  EXPECT_EQ(r.ok, !c.stored.empty());
  EXPECT_EQ(r.error.empty(), r.ok);
  EXPECT_EQ(log, c.stored.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.stored});
}

const std::string kKey = R"(Software\Microsoft\Windows\CurrentVersion\Internet Settings\)";

INSTANTIATE_TEST_SUITE_P(
    Values, Regwrite,
    ::testing::Values(RegwriteCase{kProxyServerPath, std::string("127.0.0.2:80"), "REG_SZ", "server=127.0.0.2:80"},
                      RegwriteCase{kProxyServerPath, std::string(), "REG_SZ", "server="},
                      RegwriteCase{kProxyServerPath, std::int16_t{5}, "REG_SZ", "server=5"},
                      RegwriteCase{"hkey_current_user\\" + kKey + "PROXYSERVER", std::string("a:1"), "reg_sz",
                                   "server=a:1"},
                      RegwriteCase{kProxyEnablePath, std::int16_t{1}, "REG_DWORD", "enable=1"},
                      RegwriteCase{kProxyEnablePath, std::int16_t{-1}, "REG_DWORD", "enable=4294967295"},
                      RegwriteCase{kProxyEnablePath, std::string("0"), "REG_DWORD", "enable=0"},
                      RegwriteCase{kProxyEnablePath, std::string("yes"), "REG_DWORD", ""},
                      RegwriteCase{kProxyEnablePath, std::string(""), "REG_DWORD", ""},
                      RegwriteCase{kProxyEnablePath, std::int16_t{1}, "REG_SZ", ""},
                      RegwriteCase{kProxyServerPath, std::string("a:1"), "REG_DWORD", ""},
                      RegwriteCase{"HKLM\\" + kKey + "ProxyServer", std::string("a:1"), "REG_SZ", ""},
                      RegwriteCase{"HKCU\\" + kKey + "ProxyOverride", std::string("<local>"), "REG_SZ", ""},
                      RegwriteCase{"HKCU\\" + kKey, std::string("a:1"), "REG_SZ", ""}));

TEST(InternetSetOption, OnlyTheSettingsChangedOptionAnnounces) {
  std::vector<std::string> log;
  ScriptedStore store(log, "");
  std::uint32_t zero = 0;
  int handle = 0;
  EXPECT_TRUE(InternetSetOptionA(store, nullptr, INTERNET_OPTION_SETTINGS_CHANGED, &zero, 0));
  EXPECT_FALSE(InternetSetOptionA(store, nullptr, 37, &zero, 0));
  EXPECT_FALSE(InternetSetOptionA(store, &handle, INTERNET_OPTION_SETTINGS_CHANGED, &zero, 0));
  EXPECT_EQ(log, std::vector<std::string>{"announce"});
  ScriptedStore refusing(log, "announce");
  const WriteResult r = InternetSetOptionA(refusing, nullptr, INTERNET_OPTION_SETTINGS_CHANGED, &zero, 0);
  EXPECT_FALSE(r);
  EXPECT_EQ(r.error, "refused announce");
}

// ---- KDE's file and our own settings file.

class FileSwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    FillRows(ops);
  }
  std::string Config() const { return dir.path().toStdString() + "/config"; }
  ProxyStoreOpener Kde() const {
    return [d = Config()](std::string&) { return MakeKdeProxyStore(d); };
  }
  ProxyStoreOpener Own() const {
    return [d = Config()](std::string&) { return MakeFileProxyStore(d); };
  }
  std::string Kioslaverc() const { return Config() + "/kioslaverc"; }
  std::string OwnFile() const { return Config() + "/mivoproxy/internet-settings.ini"; }

  QTemporaryDir dir;
  HeadlessMainOps ops;
};

TEST_F(FileSwitch, KdeSetProWritesBothProxyUrlsAndManualType) {
  ops.selected = 1;
  setPro(ops, Kde());
  EXPECT_EQ(Slurp(Kioslaverc()),
            "[Proxy Settings]\nhttpProxy=http://127.0.0.2:8080\nhttpsProxy=http://127.0.0.2:8080\nsocksProxy=\n"
            "ProxyType=1\n");
  EXPECT_EQ(ops.panel2, "地址: 127.0.0.2 ,端口: 8080 代理成功!");
  ops.selected = 3;
  setPro(ops, Kde());
  EXPECT_EQ(Slurp(Kioslaverc()),
            "[Proxy Settings]\nhttpProxy=http://127.0.0.4\nhttpsProxy=http://127.0.0.4\nsocksProxy=\nProxyType=1\n");
  ops.rows.SetText(2, ProxyColumn::Type, "SOCKS4");
  ops.selected = 2;
  setPro(ops, Kde());
  EXPECT_EQ(Slurp(Kioslaverc()),
            "[Proxy Settings]\nhttpProxy=\nhttpsProxy=\nsocksProxy=socks://127.0.0.3:3128\nProxyType=1\n");
}

TEST_F(FileSwitch, KdeKeepsEverythingElseInTheFile) {
  Spit(Kioslaverc(),
       "[Cache Settings]\nMaxCacheSize=5120\n\n[Proxy Settings]\n# set by hand\nNoProxyFor=localhost\n"
       "ProxyType=0\nhttpProxy=http://127.0.0.9 3128\nftpProxy=ftp://127.0.0.9 21\n\n[UserAgent]\nSendLanguage=true\n");
  ops.selected = 2;
  setPro(ops, Kde());
  EXPECT_EQ(Slurp(Kioslaverc()),
            "[Cache Settings]\nMaxCacheSize=5120\n\n[Proxy Settings]\n# set by hand\nNoProxyFor=localhost\n"
            "ProxyType=1\nhttpProxy=http://127.0.0.3:3128\nftpProxy=ftp://127.0.0.9 21\n"
            "httpsProxy=http://127.0.0.3:3128\nsocksProxy=\n\n[UserAgent]\nSendLanguage=true\n");
  // The user's own values come back; what they did not have stays empty.
  closePro(ops, Kde());
  EXPECT_EQ(Slurp(Kioslaverc()),
            "[Cache Settings]\nMaxCacheSize=5120\n\n[Proxy Settings]\n# set by hand\nNoProxyFor=localhost\n"
            "ProxyType=0\nhttpProxy=http://127.0.0.9 3128\nftpProxy=ftp://127.0.0.9 21\n"
            "httpsProxy=\nsocksProxy=\n\n[UserAgent]\nSendLanguage=true\n");
  EXPECT_EQ(ops.panel2, kRestored);
  closePro(ops, Kde());
  EXPECT_EQ(Slurp(Kioslaverc()),
            "[Cache Settings]\nMaxCacheSize=5120\n\n[Proxy Settings]\n# set by hand\nNoProxyFor=localhost\n"
            "ProxyType=1\nhttpProxy=\nftpProxy=ftp://127.0.0.9 21\n"
            "httpsProxy=\nsocksProxy=\n\n[UserAgent]\nSendLanguage=true\n");
  EXPECT_EQ(ops.panel2, kOff);
}

TEST_F(FileSwitch, KdeAnnouncementWithoutASessionBusFailsWithAReason) {
  const WriteResult r = MakeKdeProxyStore(Config())->Announce();
  EXPECT_FALSE(r);
  EXPECT_NE(r.error.find("会话总线"), std::string::npos) << r.error;
}

TEST_F(FileSwitch, KdeAnnouncementIsTheReparseSignalOnTheSessionBus) {
  test::ReparseListener bus;
  ASSERT_TRUE(bus.Ready()) << bus.Error();
  closePro(ops, Kde());
  ASSERT_TRUE(bus.WaitForSignal(5000));
  EXPECT_EQ(bus.Received(), 1);
  EXPECT_EQ(bus.LastArgument(), "");
  EXPECT_EQ(ops.panel2, kOff);
}

TEST_F(FileSwitch, KdeDesktopChoosesKioslavercInTheUsersConfigFolder) {
  setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
  ops.selected = 1;
  setPro(ops);
  unsetenv("XDG_CURRENT_DESKTOP");
  EXPECT_NE(Slurp(test::ConfigHome() + "/kioslaverc").find("httpProxy=http://127.0.0.2:8080\n"), std::string::npos);
  EXPECT_EQ(ops.panel2, "地址: 127.0.0.2 ,端口: 8080 代理成功!");
}

TEST_F(FileSwitch, OwnFileHoldsTheTwoValuesAsWritten) {
  ops.selected = 3;
  setPro(ops, Own());
  EXPECT_EQ(Slurp(OwnFile()), "[Internet Settings]\nProxyServer=127.0.0.4:\nProxyEnable=1\n");
  closePro(ops, Own());
  EXPECT_EQ(Slurp(OwnFile()), "[Internet Settings]\nProxyServer=\nProxyEnable=1\n");
  ops.selected = 4;  // no port range to respect here
  setPro(ops, Own());
  EXPECT_EQ(Slurp(OwnFile()), "[Internet Settings]\nProxyServer=127.0.0.5:70000\nProxyEnable=1\n");
  EXPECT_EQ(ops.statusHistory, (std::vector<std::string>{"地址: 127.0.0.4 ,端口:  代理成功!", kOff,
                                                         "地址: 127.0.0.5 ,端口: 70000 代理成功!"}));
}

TEST_F(FileSwitch, UnwritableFolderIsToldAndLeavesNoFile) {
  Spit(Config(), "a file where the folder should be");
  ops.selected = 1;
  setPro(ops, Own());
  closePro(ops, Kde());
  ASSERT_EQ(ops.statusHistory.size(), 2u);
  EXPECT_EQ(ops.statusHistory[0], kTextListFirst);
  EXPECT_EQ(ops.statusHistory[1].rfind(kOffFailed, 0), 0u) << ops.statusHistory[1];
  EXPECT_NE(ops.statusHistory[1].find(Config()), std::string::npos) << ops.statusHistory[1];
  EXPECT_EQ(Slurp(Config()), "a file where the folder should be");
}

// ---- Choosing the store and reading the server text.

struct ChoiceCase {
  const char* desktop;
  bool gsettings;
  ProxyStoreKind kind;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << "'" << c.desktop << "' gsettings " << c.gsettings; }

class StoreChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(StoreChoice, KdeFirstThenGSettingsThenOurFile) {
  EXPECT_EQ(ChooseProxyStore(GetParam().desktop, GetParam().gsettings), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Desktops, StoreChoice,
    ::testing::Values(ChoiceCase{"KDE", true, ProxyStoreKind::Kde}, ChoiceCase{"KDE", false, ProxyStoreKind::Kde},
                      ChoiceCase{"GNOME:KDE", true, ProxyStoreKind::Kde}, ChoiceCase{"kde", true, ProxyStoreKind::Kde},
                      ChoiceCase{"KDEX", true, ProxyStoreKind::GSettings},
                      ChoiceCase{"ubuntu:GNOME", true, ProxyStoreKind::GSettings},
                      ChoiceCase{"X-Cinnamon", true, ProxyStoreKind::GSettings},
                      ChoiceCase{"", true, ProxyStoreKind::GSettings}, ChoiceCase{"XFCE", false, ProxyStoreKind::File},
                      ChoiceCase{"", false, ProxyStoreKind::File}));

struct SplitCase {
  const char* server;
  bool ok;
  std::string host;
  int port;
  bool socks = false;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << "'" << c.server << "'"; }

class ServerText : public ::testing::TestWithParam<SplitCase> {};

TEST_P(ServerText, SplitsAtTheLastColonIntoHostAndPort) {
  const SplitCase& c = GetParam();
  const std::optional<ProxyServerParts> parts = SplitProxyServer(c.server);
  ASSERT_EQ(parts.has_value(), c.ok);
  if (!parts) return;
  EXPECT_EQ(parts->host, c.host);
  EXPECT_EQ(parts->port, c.port);
  EXPECT_EQ(parts->socks, c.socks);
}

INSTANTIATE_TEST_SUITE_P(Texts, ServerText,
                         ::testing::Values(SplitCase{"127.0.0.2:8080", true, "127.0.0.2", 8080},
                                           SplitCase{"127.0.0.2:", true, "127.0.0.2", 0}, SplitCase{"", true, "", 0},
                                           SplitCase{"proxy", true, "proxy", 0}, SplitCase{":80", true, "", 80},
                                           SplitCase{"a:b:65535", true, "a:b", 65535},
                                           SplitCase{"h:65536", false, "", 0}, SplitCase{"h:-1", false, "", 0},
                                           SplitCase{"h:8a", false, "", 0}, SplitCase{"h: 80", false, "", 0},
                                           SplitCase{"socks=127.0.0.2:1080", true, "127.0.0.2", 1080, true},
                                           SplitCase{"socks=", true, "", 0, true},
                                           SplitCase{"SOCKS=h:1", true, "SOCKS=h", 1}));

TEST(UserConfigDir, FollowsTheEnvironmentOnEveryCall) {
  const std::string home = std::getenv("HOME");
  EXPECT_EQ(UserConfigDir(), test::ConfigHome());
  setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
  EXPECT_EQ(UserConfigDir(), home + "/.config");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(UserConfigDir(), home + "/.config");
  unsetenv("HOME");
  EXPECT_EQ(UserConfigDir(), "");
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", test::ConfigHome().c_str(), 1);
  EXPECT_EQ(UserConfigDir(), test::ConfigHome());
}

}  // namespace
}  // namespace mivo
