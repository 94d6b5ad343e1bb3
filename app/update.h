// The electronic update: ask, fetch the product's version list, compare,
// offer the web page or the download, download the new installer into the
// product's folder and run it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "os.h"

struct InstallSettings;

// The reply buffer of one update run: the check's reply, then the
// download's receive area.
constexpr std::int32_t kUpdateBufferSize = 1024000;
// Room of the URL, key and path fields.
constexpr std::int32_t kUpdateField = 320;
constexpr std::int32_t kUpdateVersionField = 80;
// The record mark of the version list (the script's command mark too).
constexpr char kUpdateRecordMark = 0x16;

// The whole flow; always 1.
std::int32_t UpdateRun(OsHandle owner, InstallSettings* settings);
// One GET of the version list into the buffer (terminated); 1 when at least
// one piece of the reply came.
std::int32_t UpdateCheck(InstallSettings* settings, const char* url, std::int32_t proxy, char* buffer,
                         std::int32_t size);
// Searches the reply for this product's entry; 1 when a matching entry
// ended (the offer or the "latest version" box has been shown then).
std::int32_t UpdateParseReply(InstallSettings* settings, const char* reply);
// One entry of the version list as the search has read it.
struct UpdateEntry {
  char key[kUpdateField] = "";
  char newVersion[kUpdateVersionField] = "";
  double latest = 0;
  char webPage[kUpdateField] = "";
  char downloadUrl[kUpdateField] = "";
};
// The search of UpdateParseReply without its boxes: 1 when an entry whose
// key is this product's ("company product", ASCII case ignored) ended with
// its '0' record; 0 at the end of the text or on a field that does not fit.
std::int32_t UpdateFindEntry(InstallSettings* settings, const char* reply, UpdateEntry* entry);
// Cuts the text at its first character that is neither a digit nor '.'
// and converts what is left (nothing gives 0); always 1.
std::int32_t ParseVersion(double* number, char* text);
// Copies the record text at *position (bytes of 0x20 and above) into the
// destination; 0, with the position left alone, when it does not fit.
std::int32_t ReadReplyField(const char** position, char* destination, std::int32_t capacity);
// Offers the web page or the download (dialog 101); always 1.
std::int32_t UpdateDialog(OsHandle owner, InstallSettings* settings, const char* newVersion, const char* webPage,
                          const char* downloadUrl);
// One GET of the installer into the product's folder; 1 when it came whole.
std::int32_t UpdateDownload(InstallSettings* settings, const char* url, std::int32_t proxy, char* buffer,
                            std::int32_t size);

// 1 when the user chose the download in the dialog.
std::int32_t UpdateDialogResult();
// Where the download was saved (empty before one).
const char* UpdateSavePath();
// The dialog's procedure.
std::intptr_t UpdateDialogProcedure(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam,
                                    std::intptr_t lParam);

// The download's reply, piece by piece: the header is kept in the buffer
// until its end has come, then every piece's body bytes go to the file.
struct DownloadReceiver {
  char* buffer = nullptr;
  std::int32_t size = 0;
  std::int32_t header = 0;  // bytes of the header kept at the buffer's start
  bool headerSeen = false;
  bool pastHeader = false;  // a piece after the end of the header was handled
  bool statusGood = true;   // the status line says the file follows (200)
  std::int32_t expected = 0;
  std::int32_t received = 0;
};
// Where the next piece is to be received, and its room (terminator kept).
char* DownloadSlot(DownloadReceiver* receiver, std::int32_t* room);
// Handles a piece of count bytes received at DownloadSlot; the body bytes
// are written to the file. 0 when the file could not be written.
std::int32_t DownloadPiece(DownloadReceiver* receiver, std::int32_t count, std::FILE* file);
// Whether the reply ended complete.
std::int32_t DownloadComplete(const DownloadReceiver& receiver);

// The saved file's name from the download URL, refused (0) when it is no
// plain file name of the product's folder.
std::int32_t DownloadFileName(const char* url, char* name, std::int32_t capacity);
