// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// The download loop with a scripted request object and clock: when it waits,
// how long, when it gives up, what it hands back.
#include "harvester/page_download.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "common/gbk.h"
#include "harvester/http_request.h"
#include "harvester/main_window_ops.h"
#include "harvester/status_texts.h"
#include "tests/harvester/scripted_clock.h"

namespace mivo {
namespace {

// What the scripted request saw; outlives the request itself.
struct RequestLog {
  bool alive = false;
  int opens = 0;
  int sends = 0;
  std::string method;
  std::string address;
  bool async = false;
  std::string pageTextAtOpen;
};

class ScriptedRequest : public HttpRequest {
 public:
  ScriptedRequest(std::shared_ptr<RequestLog> log, const MainWindowOps* ops, bool openResult, bool completeAtSend,
                  std::string body)
      : log_(std::move(log)), ops_(ops), openResult_(openResult), complete_(completeAtSend), body_(std::move(body)) {
    log_->alive = true;
  }
  ~ScriptedRequest() override { log_->alive = false; }

  bool Open(const std::string& method, const std::string& address, bool async) override {
    ++log_->opens;
    log_->method = method;
    log_->address = address;
    log_->async = async;
    if (ops_) log_->pageTextAtOpen = ops_->PageText();
    return openResult_;
  }
  void send() override { ++log_->sends; }
  int ReadyState() const override { return complete_ ? kHttpComplete : kHttpSent; }
  std::string_view ResponseBody() const override { return complete_ ? std::string_view(body_) : std::string_view(); }

  void Complete() { complete_ = true; }
  void Arrive(std::size_t arrived, std::size_t announced) {
    arrived_ = arrived;
    announced_ = announced;
  }
  std::size_t BytesArrived() const override { return arrived_; }
  std::size_t BytesAnnounced() const override { return announced_; }

 private:
  std::shared_ptr<RequestLog> log_;
  const MainWindowOps* ops_;
  bool openResult_;
  bool complete_;
  std::string body_;
  std::size_t arrived_ = 0, announced_ = 0;
};

// Counts the event passes instead of running them.
class CountingOps : public HeadlessMainOps {
 public:
  void DoEvents() override {
    ++doEvents;
    if (onDoEvents) onDoEvents();
  }
  void DoEventsWaiting(std::chrono::milliseconds atMost) override {
    ++waits;
    lastWait = atMost;
    if (onWait) onWait(waits);
  }
  int doEvents = 0;
  int waits = 0;
  std::chrono::milliseconds lastWait{0};
  std::function<void()> onDoEvents;
  std::function<void(int)> onWait;
};

class GetSourceLoop : public ::testing::Test {
 protected:
  ~GetSourceLoop() override { SetHttpRequestFactory({}); }

  // Every download gets a scripted request; `request` is the last one made.
  void Script(bool openResult, bool completeAtSend, std::string body) {
    SetHttpRequestFactory([=, this] {
      auto r = std::make_unique<ScriptedRequest>(log, &ops, openResult, completeAtSend, body);
      request = r.get();
      return r;
    });
  }
  void UseClock(std::vector<std::int64_t> reads) { clock.emplace(std::move(reads)); }

  std::shared_ptr<RequestLog> log = std::make_shared<RequestLog>();
  ScriptedRequest* request = nullptr;
  std::optional<test::ScriptedClock> clock;
  CountingOps ops;
};

TEST_F(GetSourceLoop, ResponseCompleteAtSendIsReadWithoutWaiting) {
  UseClock({1000});
  Script(true, true, ToGbk("127.0.0.1 北京市 电信"));
  bool releasedBeforeLastPass = false;
  ops.onDoEvents = [&] { releasedBeforeLastPass = !log->alive; };
  const std::string text = GetSource(ops, " http://127.0.0.1:8086/proxy1.html ");
  EXPECT_EQ(text, "127.0.0.1 北京市 电信");
  EXPECT_EQ(ops.waits, 0);
  EXPECT_EQ(ops.doEvents, 1);
  EXPECT_TRUE(releasedBeforeLastPass);
  EXPECT_EQ(ops.statusHistory, std::vector<std::string>{kTextFetching});
  // The address goes to the request exactly as given.
  EXPECT_EQ(log->method, "GET");
  EXPECT_EQ(log->address, " http://127.0.0.1:8086/proxy1.html ");
  EXPECT_TRUE(log->async);
  EXPECT_EQ(log->sends, 1);
}

struct GiveUpCase {
  std::vector<std::int64_t> reads;  // start first, then one per wait pass
  int waitsUntilGiveUp;
};

void PrintTo(const GiveUpCase& c, std::ostream* os) {
  for (std::int64_t s : c.reads) *os << s << ' ';
}

class GiveUp : public GetSourceLoop, public ::testing::WithParamInterface<GiveUpCase> {};

TEST_P(GiveUp, WhenTheWholeSecondsHaveAdvancedByMoreThanThree) {
  UseClock(GetParam().reads);
  Script(true, false, "never read");
  bool aliveDuringWaits = true;
  ops.onWait = [&](int) { aliveDuringWaits = aliveDuringWaits && log->alive; };
  EXPECT_EQ(GetSource(ops, "http://127.0.0.1:1/"), "");
  EXPECT_EQ(ops.waits, GetParam().waitsUntilGiveUp);
  EXPECT_EQ(clock->Reads(), static_cast<std::size_t>(GetParam().waitsUntilGiveUp) + 1);
  EXPECT_TRUE(aliveDuringWaits);
  EXPECT_FALSE(log->alive);    // released at the give-up
  EXPECT_EQ(ops.doEvents, 0);  // and returned at once
  EXPECT_EQ(ops.statusHistory, std::vector<std::string>{kTextFetching});
}

INSTANTIATE_TEST_SUITE_P(Clocks, GiveUp,
                         ::testing::Values(GiveUpCase{{1000, 1001, 1002, 1003, 1004}, 4},
                                           GiveUpCase{{1000, 1000, 1000, 1003, 1003, 1003, 1004},
                                                      6},                          // many passes per second
                                           GiveUpCase{{1000, 1009}, 1},            // the clock jumps ahead
                                           GiveUpCase{{1000, 998, 999, 1004}, 3},  // and back
                                           GiveUpCase{{59, 60, 61, 62, 63}, 4}),
                         [](const ::testing::TestParamInfo<GiveUpCase>& info) {
                           return "AfterWait" + std::to_string(info.param.waitsUntilGiveUp) + "_" +
                                  std::to_string(info.index);
                         });

TEST_F(GetSourceLoop, EachWaitLastsAtMostUntilTheNextSecond) {
  UseClock({1000, 1001, 1002, 1003, 1004});
  clock->untilNextSecond = std::chrono::milliseconds(250);
  Script(true, false, "");
  GetSource(ops, "http://127.0.0.1:1/");
  EXPECT_EQ(ops.lastWait, std::chrono::milliseconds(250));
}

TEST_F(GetSourceLoop, ResponseCompletingInTheThirdSecondIsRead) {
  UseClock({1000, 1001, 1002, 1003, 1004});
  Script(true, false, ToGbk("页面"));
  ops.onWait = [&](int pass) {
    // Half of an announced 4 KiB, then all of it: the bar shows KiB of KiB.
    if (pass == 1) request->Arrive(2048, 4096);
    if (pass == 2) request->Arrive(4096, 4096);
    if (pass == 3) request->Complete();
  };
  EXPECT_EQ(GetSource(ops, "http://127.0.0.1:1/"), "页面");
  EXPECT_EQ(ops.waits, 3);
  EXPECT_EQ(ops.doEvents, 1);
  EXPECT_EQ(ops.progressHistory, (std::vector<std::pair<int, int>>{{2, 5}, {4, 5}, {0, 0}}));
}

TEST_F(GetSourceLoop, ResponseCompletingInThePassThatRunsOutOfTimeIsLost) {
  // The clock is read right after the pass, before the completion test.
  UseClock({1000, 1001, 1002, 1003, 1004});
  Script(true, false, "late");
  ops.onWait = [&](int pass) {
    if (pass == 4) request->Complete();
  };
  EXPECT_EQ(GetSource(ops, "http://127.0.0.1:1/"), "");
  EXPECT_EQ(ops.waits, 4);
}

TEST_F(GetSourceLoop, AddressTheRequestRejectsEndsLikeATimeOut) {
  UseClock({1000});
  Script(false, true, "unused");
  EXPECT_EQ(GetSource(ops, "no scheme"), "");
  EXPECT_EQ(log->sends, 0);
  EXPECT_EQ(ops.waits, 0);
  EXPECT_FALSE(log->alive);
  EXPECT_EQ(ops.statusHistory, std::vector<std::string>{kTextFetching});
}

TEST_F(GetSourceLoop, RequestThatCannotBeMadeEndsLikeATimeOut) {
  UseClock({1000});
  SetHttpRequestFactory([] { return std::unique_ptr<HttpRequest>(); });
  ops.Rows().Append("kept");
  ListPageCommand(ops, 0);
  EXPECT_EQ(ops.statusHistory, (std::vector<std::string>{kTextFetching, kTextFetchFailed}));
  EXPECT_EQ(ops.Rows().Count(), 1);
}

class ListPageBox : public GetSourceLoop, public ::testing::WithParamInterface<int> {};

TEST_P(ListPageBox, ReadsItsOwnBoxWithThePageTextEmptied) {
  const int k = GetParam();
  UseClock({1000});
  const std::string page =
      "<tr><td>127.0.0.9<SCRIPT type=text/javascript>document.write(\":\"+r+d)\r\n"
      "</SCRIPT></td><td>HTTP</td><td>0.50</td><td>北京市</td></tr>";
  Script(true, true, ToGbk(page));
  for (int box = 0; box < kPageAddressCount; ++box)
    ops.addresses[static_cast<std::size_t>(box)] = "box " + std::to_string(box);
  ops.SetPageText("the previous page");
  ListPageCommand(ops, k);
  EXPECT_EQ(log->address, "box " + std::to_string(k));
  EXPECT_EQ(log->pageTextAtOpen, "");
  EXPECT_EQ(ops.PageText(), page);
  ASSERT_EQ(ops.Rows().Count(), 1);
  EXPECT_EQ(ops.Rows().Text(1, ProxyColumn::Location), "北京市");
  EXPECT_EQ(ops.statusHistory, (std::vector<std::string>{kTextFetching, kTextAnalysing, kTextAnalysisDone}));
}

INSTANTIATE_TEST_SUITE_P(Boxes, ListPageBox, ::testing::Range(0, kPageAddressCount));

TEST(DefaultPageAddress, TheTwelveBoxesStartWithTheSamplePages) {
  HeadlessMainOps ops;
  const char* paths[] = {"/proxy1.html", "/proxy3.html",  "/proxy3.html",    "/proxy4.html",
                         "/proxy5.html", "/proxy6.html",  "/proxy7.html",    "/proxy8.html",
                         "/proxy9.html", "/proxy10.html", "/proxyedu1.html", "/proxyedu2.html"};
  for (int k = 0; k < kPageAddressCount; ++k)
    EXPECT_EQ(ops.AddressText(k), std::string("http://127.0.0.1:8086") + paths[k]) << k;
}

TEST(SystemSourceClock, NextSecondIsNeverNowNorFurtherThanASecond) {
  SourceClock& clock = CurrentSourceClock();
  for (int i = 0; i < 100; ++i) {
    const auto wait = clock.UntilNextSecond();
    EXPECT_GE(wait.count(), 1);
    EXPECT_LE(wait.count(), 1000);
  }
  const std::int64_t now = clock.Seconds();
  EXPECT_GT(now, 1'600'000'000);  // seconds since 1970, not some tick count
}

}  // namespace
}  // namespace mivo
