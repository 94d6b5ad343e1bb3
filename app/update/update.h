// The electronic update: ask, fetch the product's version list, compare,
// offer the web page or the download, download the new installer into the
// product's folder, verify the maker's signature and run it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "http.h"
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
// One GET of the version list; 1 when a 2xx reply (or one without a status
// line) came in order, with its body at the buffer's start, terminated.
std::int32_t UpdateCheck(InstallSettings* settings, const char* url, std::int32_t proxy, char* buffer,
                         std::int32_t size);
// Searches the reply for this product's entry; 1 when a matching entry
// ended (the offer or the "latest version" box has been shown then).
std::int32_t UpdateParseReply(InstallSettings* settings, const char* reply);
// One entry of the version list as the search has read it.
struct UpdateEntry {
  char key[kUpdateField] = "";
  char newVersion[kUpdateVersionField] = "";
  char versionText[kUpdateVersionField] = "";  // the '2' record as written (newVersion is cut)
  double latest = 0;
  char webPage[kUpdateField] = "";
  char downloadUrl[kUpdateField] = "";
  char signature[kUpdateField] = "";      // the '5' record: base64 of the signature
  std::int32_t signatures = 0;            // how many '5' records the entry had
  char pageSignature[kUpdateField] = "";  // the '6' record: the maker's signature of the page
  std::int32_t pageSignatures = 0;
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
// One GET of the installer into the product's folder; 1 when it came whole
// (and, for a product with the maker's key, verified) and is in place.
std::int32_t UpdateDownload(InstallSettings* settings, const char* url, std::int32_t proxy, char* buffer,
                            std::int32_t size);

// Opens the product's web page in the browser; only a web address is
// opened (0 otherwise): one with its http or https scheme, or one written
// from "www." on without a scheme, which is opened over http as the shell
// would open it.
std::int32_t UpdateOpenWebPage(const char* url);
// Whether the entry's page may be offered: always without the maker's key;
// with it, only a page whose '6' record the key verifies.
std::int32_t UpdatePageIsMakers(const UpdateEntry& entry);
// The dialog's web page button: the chosen entry's page, when it may be
// offered.
std::int32_t UpdateOfferWebPage();
// 1 when the user chose the download in the dialog.
std::int32_t UpdateDialogResult();
// Where the download was saved (empty before one).
const char* UpdateSavePath();
// The dialog's procedure.
std::intptr_t UpdateDialogProcedure(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam,
                                    std::intptr_t lParam);

// The most a download may take, and how long an attempt may last.
struct UpdateLimits {
  std::uint64_t checkTime = 180000;       // ms for a whole version-list attempt
  std::uint64_t downloadSilence = 60000;  // ms without a byte that end a download attempt
  std::int64_t largest = 1 << 30;         // bytes of the largest installer
  std::uint64_t spaceMargin = 64 << 20;   // bytes left free on the disk at least
  std::uint32_t installerWait = 600000;   // ms before the user is asked whether to wait on
};
// The limits in force (tests make them shorter).
UpdateLimits& UpdateLimitsInForce();

// The download's reply, piece by piece: the header is kept in the buffer
// until its end has come; a usable 200 reply then starts the file, and
// every body byte goes to it.
struct DownloadReceiver {
  char* buffer = nullptr;
  std::int32_t size = 0;
  std::int32_t header = 0;  // bytes of the header kept at the buffer's start
  std::int32_t half = 0;    // the half of the buffer the next body piece goes to
  bool headerSeen = false;
  bool failed = false;  // the reply cannot be the installer, or a write failed
  HttpReplyHead head;
  std::int64_t limit = 1 << 30;  // body bytes taken at most
  std::int64_t received = 0;
  bool tooLarge = false;  // more than limit was announced or came
  // Called once, when a usable 200 header has arrived (expected is -1
  // without a length); 0 refuses the download.
  std::int32_t (*start)(void* context, std::int64_t expected) = nullptr;
  // Takes body bytes; 0 when they could not be kept.
  std::int32_t (*write)(void* context, const char* data, std::int32_t count) = nullptr;
  void* context = nullptr;
};
// Where the next piece is to be received, and its room (terminator kept).
char* DownloadSlot(DownloadReceiver* receiver, std::int32_t* room);
// Handles a piece of count bytes received at DownloadSlot. 0 when the
// download cannot go on (failed is set then). The body bytes handed to
// write stay untouched until write is called again.
std::int32_t DownloadPiece(DownloadReceiver* receiver, std::int32_t count);
// 1 when every announced byte has come: nothing more is to be read.
std::int32_t DownloadHasAll(const DownloadReceiver& receiver);
// Whether the reply ended complete; closed tells whether the server ended
// it with an orderly close (the only end of a body without a length).
std::int32_t DownloadComplete(const DownloadReceiver& receiver, bool closed);
// The body of a version-list reply of length bytes: 1 with *body at its
// first byte (the whole text when the reply has no status line); 0 when
// the reply is no version list (not 2xx, a broken header, a body of
// another length than announced).
// A body longer than its Content-Length is cut there; a shorter one is
// refused unless the buffer filled (filled): a list larger than the buffer
// is read as far as it fits.
std::int32_t UpdateReplyBody(char* reply, std::int32_t length, std::int32_t* body, bool filled = false);

// The save path of a plain name: in the product's folder, and nowhere
// else (0 otherwise).
std::int32_t UpdateSavePathOf(InstallSettings* settings, const char* name, char* path, std::int32_t capacity);
// Whether the save path names the product's uninstaller, its log or the
// running program, which a download may never replace. The files of the
// product's FILE LIST may be replaced: its own installer is one of them.
bool UpdateIsProductFile(InstallSettings* settings, const char* savePath);
// The saved file's name from the download URL, refused (0) when it is no
// plain file name of the product's folder.
std::int32_t DownloadFileName(const char* url, char* name, std::int32_t capacity);
// Whether a file name names a device (CON, PRN, AUX, NUL, COM0-9, LPT0-9,
// CONIN$, CONOUT$), with or without an extension, in any letter case.
bool IsDeviceName(const char* name);

// What the maker signs for an entry, in this byte layout:
//   16 bytes  "Quillon Update 1"
//    4 bytes  length of the entry's key, little-endian, then the key as the
//             '1' record writes it ("Company Product")
//    4 bytes  length of the version text, little-endian, then the '2'
//             record's text as written
//   32 bytes  SHA-256 of the installer file
// The signature is ECDSA on P-256 over the SHA-256 of these bytes, r and s
// as 32 big-endian bytes each, base64 in the '5' record. The message's
// length in *length; 0 when it does not fit capacity.
constexpr std::int32_t kUpdateSignatureSize = 64;
constexpr std::int32_t kUpdateHashSize = 32;
std::int32_t UpdateSignedMessage(const char* key, const char* version,
                                 const unsigned char installerHash[kUpdateHashSize], unsigned char* message,
                                 std::int32_t capacity, std::int32_t* length);
// The 64 bytes of a '5' record: exactly 88 base64 characters, '=' padded.
std::int32_t UpdateDecodeSignature(const char* text, unsigned char signature[kUpdateSignatureSize]);
// What the maker signs for an entry's web page (the '6' record):
//   16 bytes  "Quillon WebPage1"
//    4 bytes  length of the entry's key, little-endian, then the key
//    4 bytes  length of the page's URL, little-endian, then the '3' record
// with the same key and signature form as the installer's.
std::int32_t UpdatePageMessage(const char* key, const char* page, unsigned char* message, std::int32_t capacity,
                               std::int32_t* length);
// Whether the entry's one '6' record is the maker's for its page (logs
// "Update page signature ..." when not).
std::int32_t UpdateVerifyPage(const unsigned char* makerKey, const UpdateEntry& entry);
// Whether the entry carries one readable signature (logs why not).
std::int32_t UpdateEntrySigned(const UpdateEntry& entry);
// Whether the entry's signature is the maker's (makerKey: the 65-byte
// public key) for the installer with that hash; logs "Update signature ..."
// lines either way.
std::int32_t UpdateVerifyEntry(const unsigned char* makerKey, const UpdateEntry& entry,
                               const unsigned char installerHash[kUpdateHashSize]);
// For tests: the maker's key the download demands (null: none), and the
// entry the download belongs to.
void UpdateUseKey(const unsigned char* makerKey);
void UpdateUseEntry(const UpdateEntry& entry);
// Why the last download was refused: a cause that no retry mends, so none
// is made. 0 it was not.
constexpr std::int32_t kRefusedSignature = 1;  // not the maker's
constexpr std::int32_t kRefusedNoProgram = 2;  // it came, and is no program
constexpr std::int32_t kRefusedInsecure = 3;   // a list over TLS named a plain download
constexpr std::int32_t kRefusedLocal = 4;      // it cannot be saved here (name, disk, rights)
constexpr std::int32_t kRefusedChanged = 6;    // the saved file was changed before its check
std::int32_t UpdateRefusal();
// The refusal as the user reads it.
const char* UpdateRefusalCause();
// The verified download, held until it has run (after UpdateDownload gave 1).
OsHeldFile* UpdateHeldInstaller();
// Starts the held installer with "-Quiet" and waits for it, asking after
// each installerWait whether to wait on.
constexpr std::int32_t kInstallerNotStarted = 0;  // or its exit code could not be read
constexpr std::int32_t kInstallerEnded = 1;       // *exitCode is its own
constexpr std::int32_t kInstallerNotAwaited = 2;  // the user stopped waiting; it may still run
std::int32_t UpdateRunInstaller(OsHeldFile* installer, std::int32_t* exitCode);
