// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Texts the tunnel tester shows; used byte for byte.
namespace mivo {

inline constexpr const char* kTextTargetConnected = "连接目标服务器成功！";
inline constexpr const char* kTextSocks4Failed = "连接sock4代理失败！";
inline constexpr const char* kTextProxyFailed = "连接代理失败！";
inline constexpr const char* kTextNoAuth = "连接成功！无验证";
inline constexpr const char* kTextWithAuth = "连接成功！有验证";
inline constexpr const char* kTextAuthRejected = "sock5代理校验用户名、密码失败！";
inline constexpr const char* kTextAuthenticated = "连接成功！有验证！";
inline constexpr const char* kTextTargetFailed = "连接目标服务器失败！";
inline constexpr const char* kTextSocks5TargetFailed = "sock5代理连接目标服务器失败！";
inline constexpr const char* kTextHttpFailed = "HTTP1.1代理连接目标服务器失败！";
inline constexpr const char* kTitleError = "错误";
inline constexpr const char* kTextDisconnecting = "断开连接...";

// Input that the handshake messages cannot carry.
inline constexpr const char* kTextBadTargetAddress =
    "服务器地址必须是四个0到255之间的十进制数，以\".\"分隔，例如 127.0.0.1";
inline constexpr const char* kTextBadHttpTarget = "服务器地址不能为空，也不能含有空格或控制字符";
inline constexpr const char* kTextBadTargetPort = "服务器端口必须是0到65535之间的数字";
inline constexpr const char* kTextBadProxyPort = "代理端口必须是0到65535之间的数字";
inline constexpr const char* kTextUserTooLong = "用户名不能超过255字节";
inline constexpr const char* kTextPassTooLong = "密码不能超过255字节";

}  // namespace mivo
