// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "socket/error_text.h"

#include <tuple>

#include <gtest/gtest.h>

namespace mivo {
namespace {

class ErrorTextTable : public ::testing::TestWithParam<std::tuple<int, const char*>> {};

TEST_P(ErrorTextTable, TextIsExact) { EXPECT_EQ(ErrorText(std::get<0>(GetParam())), std::get<1>(GetParam())); }

INSTANTIATE_TEST_SUITE_P(
    EveryEntry, ErrorTextTable,
    ::testing::Values(
        std::tuple{10004, "函数调用中断."}, std::tuple{10013, "权限被拒绝."}, std::tuple{10014, "错误地址."},
        std::tuple{10022, "无效的参数."}, std::tuple{10024, "打开文件过多."}, std::tuple{10035, "资源暂时不可用."},
        std::tuple{10036, "操作现在在进行."}, std::tuple{10037, "操作已经在进行."},
        std::tuple{10038, "无效套接字操作."}, std::tuple{10039, "需要目标地址."}, std::tuple{10040, "信息太长."},
        std::tuple{10041, "套接字协议类型错误."}, std::tuple{10042, "协议选项错误."}, std::tuple{10043, "协议不支持."},
        std::tuple{10044, "套接字类型不支持."}, std::tuple{10045, "不支持的操作."},
        std::tuple{10046, "协议家族不支持."}, std::tuple{10047, "地址家族不支持的请求操作."},
        std::tuple{10048, "地址在使用中."}, std::tuple{10049, "不能分配请求地址."}, std::tuple{10050, "网络断开."},
        std::tuple{10051, "网络不可访问."}, std::tuple{10052, "网络在重置时断开."},
        std::tuple{10053, "软件造成连接中止."}, std::tuple{10054, "连接被对方重置."},
        std::tuple{10055, "无缓存空间可用."}, std::tuple{10056, "套接字已经连接."},
        std::tuple{10057, "套接字没有连接."}, std::tuple{10058, "套接字关闭后无法发送."},
        std::tuple{10060, "连接超时."}, std::tuple{10061, "连接被拒绝."}, std::tuple{10065, "没有到主机的路由."},
        std::tuple{10067, "进程过多."}, std::tuple{10091, "网络子系统不可用."},
        std::tuple{10092, "Winsock.dll 版本错误."}, std::tuple{10093, "套接字没有初始化."},
        std::tuple{11001, "授权应答：未找到主机。"}, std::tuple{11002, "非授权主机没有找到."},
        std::tuple{11003, "不可恢复的错误."}, std::tuple{11004, "无效名，对所请求的类型无数据记录 ."},
        std::tuple{40006, "所请求的事务或请求本身的错误协议或者错误连接状态。"},
        std::tuple{40014, "传递给函数的参数格式不确定，或者不在指定范围内。"},
        std::tuple{40018, "不受支持的变量类型。"}, std::tuple{40020, "在当前状态下的无效操作"},
        // Everything else, gaps between listed numbers included.
        std::tuple{0, "未知的错误.错误号：0"}, std::tuple{10059, "未知的错误.错误号：10059"},
        std::tuple{12345, "未知的错误.错误号：12345"}, std::tuple{-7, "未知的错误.错误号：-7"},
        std::tuple{10107, "未知的错误.错误号：10107"}, std::tuple{10005, "未知的错误.错误号：10005"},
        std::tuple{40021, "未知的错误.错误号：40021"}, std::tuple{-2147483647 - 1, "未知的错误.错误号：-2147483648"}));

}  // namespace
}  // namespace mivo
