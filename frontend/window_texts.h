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

// The journey line under the buttons: the step, the whole update's progress and the time left
// while a job runs, then what happened and what to do next.
inline constexpr const char* STEP_NAMES[] = {
    "清除程式區", "寫入程式碼", "寫入程式標頭", "清除資料庫區", "寫入資料庫", "重新啟動設備",
};
// "第 2 步，共 6 步：寫入程式碼"
inline constexpr const char* STEP_FORMAT = "第 %d 步，共 %d 步：%s";
inline constexpr const char* READING_FILES = "正在讀取更新檔…";
// " · 約剩 0:35"
inline constexpr const char* TIME_LEFT_FORMAT = " · 約剩 %d:%02d";
// " · 等待設備回應… 12 秒"
inline constexpr const char* WAITING_FORMAT = " · 等待設備回應… %d 秒";
inline constexpr const char* END_SUCCESS = "更新完成：設備正在重新啟動，啟動完成後即可拔除。";
// "第 2 步（寫入程式碼）失敗：..."
inline constexpr const char* END_STEP_FAILED_FORMAT =
    "第 %d 步（%s）失敗：設備可能沒有可用的程式，請保持連接，再按「更新」。";
inline constexpr const char* END_NOT_REACHED =
    "未能連上設備，設備沒有變更：請檢查 USB 線，再按「更新」。";
inline constexpr const char* END_FILES_REFUSED =
    "更新檔無法使用，設備沒有變更：請檢查更新檔，再按「更新」。";

// The detail of a box about the update files: where they were looked for.
inline constexpr const char* FILES_FOLDER = "更新檔應放在這個資料夾：";
// The box when the job itself failed unexpectedly (the technical reason follows as its detail).
inline constexpr const char* JOB_CRASHED = "更新程式發生內部錯誤，更新已中止。";

} // namespace quarvo::windowtext
