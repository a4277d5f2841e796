// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "error_text.h"

#include <algorithm>
#include <array>
#include <utility>

namespace mivo {
namespace {

struct Entry {
  std::int32_t number;
  const char* text;
};

// Sorted by number; the stops are as the texts have always been written.
constexpr std::array kTexts{
    Entry{10004, "函数调用中断."},
    Entry{10013, "权限被拒绝."},
    Entry{10014, "错误地址."},
    Entry{10022, "无效的参数."},
    Entry{10024, "打开文件过多."},
    Entry{10035, "资源暂时不可用."},
    Entry{10036, "操作现在在进行."},
    Entry{10037, "操作已经在进行."},
    Entry{10038, "无效套接字操作."},
    Entry{10039, "需要目标地址."},
    Entry{10040, "信息太长."},
    Entry{10041, "套接字协议类型错误."},
    Entry{10042, "协议选项错误."},
    Entry{10043, "协议不支持."},
    Entry{10044, "套接字类型不支持."},
    Entry{10045, "不支持的操作."},
    Entry{10046, "协议家族不支持."},
    Entry{10047, "地址家族不支持的请求操作."},
    Entry{10048, "地址在使用中."},
    Entry{10049, "不能分配请求地址."},
    Entry{10050, "网络断开."},
    Entry{10051, "网络不可访问."},
    Entry{10052, "网络在重置时断开."},
    Entry{10053, "软件造成连接中止."},
    Entry{10054, "连接被对方重置."},
    Entry{10055, "无缓存空间可用."},
    Entry{10056, "套接字已经连接."},
    Entry{10057, "套接字没有连接."},
    Entry{10058, "套接字关闭后无法发送."},
    Entry{10060, "连接超时."},
    Entry{10061, "连接被拒绝."},
    Entry{10065, "没有到主机的路由."},
    Entry{10067, "进程过多."},
    Entry{10091, "网络子系统不可用."},
    Entry{10092, "Winsock.dll 版本错误."},
    Entry{10093, "套接字没有初始化."},
    Entry{11001, "授权应答：未找到主机。"},
    Entry{11002, "非授权主机没有找到."},
    Entry{11003, "不可恢复的错误."},
    Entry{11004, "无效名，对所请求的类型无数据记录 ."},
    Entry{40006, "所请求的事务或请求本身的错误协议或者错误连接状态。"},
    Entry{40014, "传递给函数的参数格式不确定，或者不在指定范围内。"},
    Entry{40018, "不受支持的变量类型。"},
    Entry{40020, "在当前状态下的无效操作"},
};

static_assert(std::is_sorted(kTexts.begin(), kTexts.end(),
                             [](const Entry& a, const Entry& b) { return a.number < b.number; }));

}  // namespace

std::string ErrorText(std::int32_t number) {
  const auto it = std::lower_bound(kTexts.begin(), kTexts.end(), number,
                                   [](const Entry& e, std::int32_t n) { return e.number < n; });
  if (it != kTexts.end() && it->number == number) return it->text;
  return "未知的错误.错误号：" + std::to_string(number);
}

}  // namespace mivo
