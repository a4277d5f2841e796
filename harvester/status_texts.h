// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>

// Status texts the main window's commands share.
namespace mivo {

inline constexpr const char* kTextLoaded = "载入完成!";
inline constexpr const char* kTextFetching = "正在获取源码....";
inline constexpr const char* kTextFetchFailed = "获取失败,请检查网络!";
inline constexpr const char* kTextAnalysing = "正在分析....";
inline constexpr const char* kTextAnalysisDone = "源码分析完成....";
inline constexpr const char* kTextUpdateListFirst = "请先更新代理列表...";
inline constexpr const char* kTextListFirst = "请先代理更新列表...";
inline constexpr const char* kTextExportFailed = "导出列表失败: ";
inline constexpr const char* kTextExportedTo = "列表已导出到: ";
// A page over the size limit, said instead of the network failure.
inline constexpr const char* kTextPageTooLarge = "获取失败: 页面超过 ";
inline constexpr const char* kTextPageTooLargeEnd = " MiB 上限";
inline constexpr const char* kTextWalkDone = "测试完成: ";
inline constexpr const char* kTextWalkStopped = "测试已停止: ";
inline constexpr const char* kTextVerifyDone = "验证完成: ";
inline constexpr const char* kTextVerifyStopped = "验证已停止: ";
inline constexpr const char* kTextAskingJudges = "正在询问裁判....";
inline constexpr const char* kTextVerifySettingsWrong = "验证设置有误: ";
inline constexpr const char* kTextVerifyNeedsIpv4 = "主机须为 IPv4 地址";
inline constexpr const char* kTextVerifyNothingToAsk = "请先在程序设置中填写裁判网址或验证网址";
inline constexpr const char* kTextNoJudge = "没有可用的裁判: ";
inline constexpr const char* kTextJudgeSilent = "裁判未及时应答";
inline constexpr const char* kTextNoLocationDb = "; 国家一栏留空, 位置数据库无法打开: ";

// The end of a run over the list: `head` (done or stopped) and its counts.
inline std::string RunEndText(const char* head, int passed, int failed) {
  return std::string(head) + "成功 " + std::to_string(passed) + ", 失败 " + std::to_string(failed);
}

}  // namespace mivo
