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
// " · 整體 42%": the whole update's share, apart from the bar above, which is the step's.
inline constexpr const char* OVERALL_FORMAT = " · 整體 %d%%";
// " · 約剩 35 秒", " · 約剩 2 分 15 秒", " · 即將完成"
inline constexpr const char* TIME_LEFT_FORMAT = " · 約剩 %s";
inline constexpr const char* ALMOST_DONE = " · 即將完成";
// "35 秒", "2 分 15 秒"
inline constexpr const char* SECONDS_FORMAT = "%d 秒";
inline constexpr const char* MINUTES_FORMAT = "%d 分 %d 秒";
// The device has said nothing for a while: how long the updater still waits for it at most.
inline constexpr const char* WAITING_FORMAT = " · 等待設備回應，最多再等 %s";
// The device talks, but its erase gets no further: how long it may still take at most.
inline constexpr const char* STALLED_FORMAT = " · 清除未見進展，最多再等 %s";
// Beside the buttons while a job runs.
inline constexpr const char* BUSY_WARNING = "更新中，請勿拔除設備或關機";

// At idle: whether the update files are there, and what the device must be.
inline constexpr const char* IDLE_READY = "更新檔已備妥：請以更新模式接上設備，再按「更新」。";
// "找不到 car_data.bin：..."
inline constexpr const char* IDLE_MISSING_FORMAT = "找不到 %s：請放進更新檔資料夾，再按「更新」。";
inline constexpr const char* IDLE_BOTH_MISSING =
    "找不到兩個更新檔：請放進更新檔資料夾，再按「更新」。";

// The end: what happened, from what the device holds, and what to do next.
inline constexpr const char* END_SUCCESS = "更新完成：設備正在重新啟動，啟動完成後即可拔除。";
inline constexpr const char* END_NOT_REACHED =
    "未能連上設備，設備沒有變更：請檢查 USB 線，再按「更新」。";
inline constexpr const char* END_OPEN_REFUSED =
    "設備無法開啟，設備沒有變更：請依提示處理後，再按「更新」。";
inline constexpr const char* END_NOTHING_TAKEN =
    "設備沒有接收資料，設備沒有變更：請重新接上設備，再按「更新」。";
inline constexpr const char* END_NO_PROGRAM =
    "設備目前沒有可用的程式：請保持連接或重新接上，再按「更新」。";
inline constexpr const char* END_NO_PROGRAM_LINK_LOST =
    "連線中斷，設備目前沒有可用的程式：請重新接上設備，再按「更新」。";
inline constexpr const char* END_DATABASE_INCOMPLETE =
    "程式已完整寫入，但資料庫不完整：請再按「更新」。";
inline constexpr const char* END_NOT_RESTARTED =
    "已全部寫入但未能重新啟動：請拔除設備再接上；若無法啟動，請再更新。";
inline constexpr const char* END_FILES_REFUSED =
    "更新檔無法使用，設備沒有變更：請檢查更新檔，再按「更新」。";
// In front of the end when a request to stop ended the job after it had reached the device.
inline constexpr const char* END_STOPPED_PREFIX = "已中止：";
inline constexpr const char* END_STOPPED_UNCHANGED = "更新已中止，設備沒有變更。";
inline constexpr const char* END_INTERNAL_UNCHANGED = "更新程式發生內部錯誤，設備沒有變更。";

// The detail of a box about the update files: where they were looked for.
inline constexpr const char* FILES_FOLDER = "更新檔應放在這個資料夾：";
// On Windows, when the bootloader is attached but cannot be opened (another program holds it).
inline constexpr const char* WINDOWS_ACCESS_HELP =
    "設備已連接，但無法開啟：可能有其他程式正在使用它。\n"
    "請關閉其他使用此設備的程式（例如另一個更新程式），再按「更新」。";
// The copy entry of the system menu (Windows) and the context menu (Qt), and its answers.
inline constexpr const char* COPY_RECORD_ENTRY = "複製最近一次更新紀錄(&C)";
inline constexpr const char* RECORD_COPIED =
    "已複製最近一次更新紀錄。\n請貼到給客服的訊息或電子郵件中。";
inline constexpr const char* RECORD_NOT_COPIED = "無法複製更新紀錄到剪貼簿，請稍後再試。";
inline constexpr const char* NO_RECORD = "目前還沒有更新紀錄可以複製。";
// The box when the job itself failed unexpectedly (the technical reason follows as its detail).
inline constexpr const char* JOB_CRASHED = "更新程式發生內部錯誤，更新已中止。";

} // namespace quarvo::windowtext
