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

// The end of a run over the list: `head` (done or stopped) and its counts.
inline std::string RunEndText(const char* head, int passed, int failed) {
  return std::string(head) + "成功 " + std::to_string(passed) + ", 失败 " + std::to_string(failed);
}

}  // namespace mivo
