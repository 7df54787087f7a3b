// Every text the update job and the bootloader commands show, in UTF-8, kept here once. The
// windows' own texts are with the windows; what a second updater is told is with the guard.
#pragma once

namespace quarvo::text {

inline constexpr const char* CONNECT_FAILED = "設備連線失敗! 請檢查USB連接。";
inline constexpr const char* ERASE_COMMAND_ERROR = "清除命令錯誤";
inline constexpr const char* RESTART_COMMAND_ERROR = "復位命令錯誤";
inline constexpr const char* ERASING = "正在清除...";
inline constexpr const char* ERASE_READ_ERROR = "讀取清除訊息錯誤!";
inline constexpr const char* WRITE_COMMAND_ERROR = "寫入命令錯誤";
inline constexpr const char* WRITING = "正在寫入資料庫...";
inline constexpr const char* WRITE_DATA_ERROR = "寫入資料錯誤";
inline constexpr const char* TOO_LARGE = "資料量過大!";
inline constexpr const char* REGION_ERASE_FAILED = "寫入資料庫 清除Flash失敗!";
inline constexpr const char* REGION_WRITE_FAILED = "資料庫寫入失敗!";
inline constexpr const char* REGION_WRITE_OK = "資料庫寫入成功!";
inline constexpr const char* UPDATE_OK = "更新成功!";
inline constexpr const char* RESTART_FAILED = "重新啟動設備失敗!";
inline constexpr const char* MISSING_DATABASE = "Can't find car_data.bin";
inline constexpr const char* MISSING_CODE = "Can't find code_data.bin";
inline constexpr const char* EMPTY_DATABASE = "car_data.bin 檔案是空的";
inline constexpr const char* EMPTY_CODE = "code_data.bin 檔案是空的";
inline constexpr const char* NO_MEMORY = "記憶體不足, 無法讀取更新檔";

} // namespace quarvo::text
