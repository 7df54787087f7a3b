// The job's own texts about its update files, in UTF-8, beside the ones it shares with the
// bootloader commands in protocol/texts.h.
#pragma once

namespace quarvo::text {

// The status line while the job waits for update files that are still being written (naming the
// wait's limit, SETTLE_WAIT_MS), and how that wait ended: the files are whole, or still being
// written when the wait ran out.
inline constexpr const char* SETTLE_WAIT = "等待更新檔寫入完成（最多 10 秒）…";
inline constexpr const char* SETTLE_DONE = "更新檔已寫入完成";
inline constexpr const char* SETTLE_TIMED_OUT = "更新檔仍在寫入中";
// The box when a SHA256SUMS beside the files cannot be read or holds a line that is no checksum.
inline constexpr const char* CHECKSUM_LIST_UNUSABLE = "SHA256SUMS 檔案有誤，無法核對更新檔";

} // namespace quarvo::text
