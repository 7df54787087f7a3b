// The updater window's own texts, in UTF-8, for both windows. The job's texts are in
// protocol/texts.h.
#pragma once

namespace quarvo::windowtext {

inline constexpr const char* DIALOG_TITLE = "道路安全警示系統更新介面";
inline constexpr const char* CANCEL = "取消";
inline constexpr const char* UPDATE = "更新";
// The start-up check's answer when the bootloader can be opened.
inline constexpr const char* CONNECT_OK = "設備連線正常!";
inline constexpr const char* ABOUT_ENTRY = "關於 Quarvo(&A)...";
inline constexpr const char* ABOUT_TITLE = "關於 Quarvo";
inline constexpr const char* ABOUT_VERSION = "Quarvo 1.0 版";
inline constexpr const char* ABOUT_NOTICE = "Quarvo 道路安全 © 2026";
inline constexpr const char* ABOUT_OK = "確定";
// The answer to a request to close the window while an update runs.
inline constexpr const char* UPDATE_RUNNING =
    "更新正在進行中，請保持設備連接，更新結束後才能關閉視窗。";

} // namespace quarvo::windowtext
