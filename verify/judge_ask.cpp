// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "judge_ask.h"

namespace mivo::verify {

DirectJudgeAsk::DirectJudgeAsk(std::string address, const JudgeUrl& judge)
    : address_(std::move(address)), port_(judge.port), request_(JudgeRequest(judge, false)) {
  socket_.events.Connect = [this] { socket_.SendData(Variant(Bytes(request_.begin(), request_.end()))); };
  socket_.events.DataArrival = [this](std::int32_t) {
    Variant data;
    socket_.GetData(data, Variant(std::int32_t{vtByteArray}));
    const Bytes& bytes = data.ByteArray();
    if (!reply_.Add(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) Finish({});
  };
  socket_.events.CloseSck = [this] { Finish({}); };
  socket_.events.Error = [this](std::int16_t number, std::string& description, std::int32_t, std::string, std::string,
                                std::int32_t, bool&) {
    // After a reply, a reset is only how the judge said goodbye.
    if (socket_.State() != SocketState::Connected || reply_.Text().empty())
      Finish(std::to_string(number) + " " + description);
    else
      Finish({});
  };
}

void DirectJudgeAsk::Start() { socket_.Connect(Variant(address_), Variant(port_)); }

void DirectJudgeAsk::Finish(std::string error) {
  if (done_) return;
  done_ = true;
  socket_.CloseSck();
  if (error.empty()) {
    own_ = ParseJudgeReply(reply_.Text()).RemoteAddr();
    if (own_.empty() && reply_.Full())
      error = "its answer was too long: more than " + std::to_string(kMaxJudgeReply / 1024) +
              " KiB without a REMOTE_ADDR line";
    else if (own_.empty())
      error = "its answer has no REMOTE_ADDR line";
  }
  error_ = std::move(error);
  if (onDone) onDone();
}

}  // namespace mivo::verify
