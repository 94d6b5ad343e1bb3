// The operating-system seam. Everything the library and the program ask of
// the system goes through these functions; win32/ implements them over
// Win32, host/ over small Linux stand-ins. Paths are Windows paths on both
// sides, error numbers are Windows error numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

using OsHandle = std::uintptr_t;  // an opaque system handle; 0 is none

// ---- Windows numbers used across the seam --------------------------------
constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorDirNotEmpty = 145;
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr std::uint32_t kErrorMoreData = 234;
constexpr std::uint32_t kErrorNoMoreItems = 259;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorLockViolation = 33;
constexpr std::uint32_t kErrorProcNotFound = 127;
constexpr std::uint32_t kErrorModNotFound = 126;

// ---- process and command line --------------------------------------------
// The whole command line of the process, program path included.
const char* OsCommandLine();
// Full path of the running executable; length written, 0 on failure.
std::uint32_t OsModuleFileName(char* out, std::uint32_t capacity);
// The calling thread's last system error code.
std::uint32_t OsLastError();
// A handle to the own process, synchronise access only, inheritable.
OsHandle OsOpenOwnProcessForChild();
void OsCloseHandle(OsHandle handle);
// Start a program from a command line; the child inherits inheritable
// handles, the environment and the current folder. The thread handle is
// closed at once; the process handle too, unless process asks for it (to be
// waited for with OsWaitForProcess and closed by the caller). 0 on failure
// (see OsLastError).
int OsStartProcess(const char* commandLine, OsHandle* process = nullptr);
// Lets the calling thread wait for the given time.
void OsSleep(std::uint32_t milliseconds);
// Ends the process through the run-time's normal exit.
[[noreturn]] void OsExitProcess(int code);

// ---- files and folders ---------------------------------------------------
std::uint32_t OsTempPath(char* out, std::uint32_t capacity);
// Creates a unique empty file "<dir><prefix>XXXX.tmp"; its name in out
// (room for 260). 0 on failure.
int OsTempFileName(const char* dir, const char* prefix, char* out);
int OsCopyFile(const char* from, const char* to);  // overwrites; 0 on failure
// The C library's remove(); 0 on failure. A file that another program holds
// open against deletion fails with kErrorSharingViolation.
int OsDeleteFile(const char* path);
// The C library's fopen on a Windows path (binary modes only).
std::FILE* OsOpenFile(const char* path, const char* mode);
// Text-mode output as the C run-time does it on Windows: "\n" reaches the
// file as CR LF. Truncate empties (or creates) the file. 0 on failure.
int OsTruncateTextFile(const char* path);
int OsAppendTextFile(const char* path, const char* text, std::size_t length);

// ---- lock ----------------------------------------------------------------
// An unnamed, re-entrant, process-wide mutex.
OsHandle OsMutexCreate();
void OsMutexLock(OsHandle mutex);
void OsMutexUnlock(OsHandle mutex);
void OsMutexDestroy(OsHandle mutex);

// ---- console -------------------------------------------------------------
// Allocates a console window and gives its standard output handle.
OsHandle OsConsoleOpen();
void OsConsoleTitle(const char* title);
void OsConsoleWrite(OsHandle console, const char* text, std::size_t length);

// ---- user interface ------------------------------------------------------
constexpr std::uint32_t kMbOk = 0x00;
constexpr std::uint32_t kMbYesNo = 0x04;
constexpr std::uint32_t kMbIconStop = 0x10;
constexpr std::uint32_t kMbIconQuestion = 0x20;
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;
// A message box without owner. The answer (kIdOk, kIdYes, kIdNo), or 0 when
// the box could not be shown or gave no answer.
int OsMessageBox(const char* text, const char* caption, std::uint32_t style);

// ---- COM and OLE ---------------------------------------------------------
std::int32_t OsCoInitialize();
std::int32_t OsOleInitialize();
void OsOleUninitialize();
void OsCoUninitialize();

// ---- registry ------------------------------------------------------------
constexpr std::uint32_t kHkeyClassesRoot = 0x80000000u;
constexpr std::uint32_t kHkeyCurrentUser = 0x80000001u;
constexpr std::uint32_t kHkeyLocalMachine = 0x80000002u;
constexpr std::uint32_t kHkeyUsers = 0x80000003u;
constexpr std::uint32_t kHkeyPerformanceData = 0x80000004u;
constexpr std::uint32_t kHkeyCurrentConfig = 0x80000005u;
constexpr std::uint32_t kHkeyDynData = 0x80000006u;

constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegDwordBigEndian = 5;
constexpr std::uint32_t kRegMultiSz = 7;

// Registry errors beyond the common ones above.
constexpr std::uint32_t kErrorWriteFault = 29;
constexpr std::uint32_t kErrorKeyDeleted = 1018;

using OsKey = std::uintptr_t;  // an open key; 0 is none
// Keys are named by a root (one of the kHkey numbers) and a path below it,
// with '\' between the names; key names compare without regard to letter
// case, value names too, but a value keeps the name it was first written
// with. Open and create give full access (KEY_ALL_ACCESS); create makes the
// missing keys of the path. Deleting a key that has subkeys fails with
// kErrorAccessDenied, a missing one with kErrorFileNotFound.
// Each gives a Windows error number (kErrorSuccess on success).
std::uint32_t OsRegOpenKey(std::uint32_t root, const char* path, OsKey* key);
std::uint32_t OsRegCreateKey(std::uint32_t root, const char* path, OsKey* key);
std::uint32_t OsRegCloseKey(OsKey key);
std::uint32_t OsRegDeleteKey(std::uint32_t root, const char* path);
// The value at index: name (capacity in characters with the terminator,
// length out without it), type, data (capacity in bytes, length out).
// ERROR_NO_MORE_ITEMS past the end, ERROR_MORE_DATA when a buffer is too
// small; data may be null when only the name, type and length are wanted.
// String data is given as stored: a terminating zero only if the
// writer counted one (Wine adds one to a text stored without). Wine gives
// the values in the order of their names, the host store in the order they
// were first written.
std::uint32_t OsRegEnumValue(OsKey key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* type,
                             unsigned char* data, std::uint32_t* dataLength);
std::uint32_t OsRegSetValue(OsKey key, const char* name, std::uint32_t type, const void* data, std::uint32_t length);
// Deletes a value of an open key; kErrorFileNotFound when there is none.
std::uint32_t OsRegDeleteValue(OsKey key, const char* name);

// ---- system folders --------------------------------------------------------
// Each writes the folder into out (capacity bytes) as the system gives it
// (without a guaranteed trailing '\'); the length, 0 on failure.
std::uint32_t OsWindowsFolder(char* out, std::uint32_t capacity);
std::uint32_t OsSystemFolder(char* out, std::uint32_t capacity);
std::uint32_t OsCurrentFolder(char* out, std::uint32_t capacity);
int OsSetCurrentFolder(const char* path);
// The current user's Start-menu programs folder (CSIDL_PROGRAMS).
int OsProgramsFolder(char* out, std::uint32_t capacity);

// The folder the shell names by its CSIDL number (kCsidl below); 0 when the
// shell names none on this machine.
int OsShellFolder(int csidl, char* out, std::uint32_t capacity);
constexpr int kCsidlPrograms = 0x02;
constexpr int kCsidlPersonal = 0x05;
constexpr int kCsidlStartMenu = 0x0B;
constexpr int kCsidlDesktopDirectory = 0x10;
constexpr int kCsidlCommonStartMenu = 0x16;
constexpr int kCsidlCommonPrograms = 0x17;
constexpr int kCsidlCommonDesktopDirectory = 0x19;
constexpr int kCsidlAppData = 0x1A;
constexpr int kCsidlLocalAppData = 0x1C;
constexpr int kCsidlCommonAppData = 0x23;
constexpr int kCsidlWindows = 0x24;
constexpr int kCsidlSystem = 0x25;
constexpr int kCsidlProgramFiles = 0x26;
constexpr int kCsidlProfile = 0x28;
constexpr int kCsidlSystemX86 = 0x29;
constexpr int kCsidlProgramFilesX86 = 0x2A;
constexpr int kCsidlProgramFilesCommon = 0x2B;
constexpr int kCsidlProgramFilesCommonX86 = 0x2C;
constexpr int kCsidlCommonDocuments = 0x2E;
// Calls visit with the path of every known folder of the shell that has one
// on this machine, the user's and all users' (the per-user program files
// among them, which no CSIDL number names). 0 when the system keeps no such
// register (the caller then asks for every CSIDL number).
int OsKnownFolders(void (*visit)(void* context, const char* path), void* context);

// ---- protected system files ------------------------------------------------
// Whether the system guards the file as one of its own (Windows File
// Protection, SfcIsFileProtected); 0 where the system keeps no such list.
int OsSystemProtectsFile(const char* path);

// ---- canonical paths -------------------------------------------------------
// The path as the system itself resolves it: made full against the current
// folder, '/' read as '', "." and ".." resolved (never above a drive's or a
// share's root), the trailing dots and blanks of every name dropped, a
// "\\?\" or "\\.\" prefix read as the path behind it, and short 8.3 names
// expanded as far as the folders exist. A final '\' stays. 0 when the
// result does not fit or the text names no path.
int OsCanonicalPath(const char* path, char* out, std::uint32_t capacity);
// The same resolution by text alone: short names stay as they are written,
// so nothing on the disk is asked (a removal asks the disk by handle).
int OsResolvedPath(const char* path, char* out, std::uint32_t capacity);

// ---- folder listing and removal -------------------------------------------
// Lists a folder's entries other than "." and ".."; gives the count, or -1
// when the folder cannot be opened for listing.
std::int32_t OsCountFolderEntries(const char* folder);
// Calls visit for each entry name other than "." and ".."; 0 when the folder
// cannot be listed.
int OsListFolder(const char* folder, void (*visit)(void* context, const char* name, int isFolder), void* context);
int OsRemoveFolder(const char* path);  // 0 on failure (see OsLastError)
int OsCreateFolder(const char* path);
int OsFileExists(const char* path);

// ---- files and folders by identity ------------------------------------------
// What a removal opens: a file or folder taken by handle, never through a
// link at its own name, with its identity and the final path the system
// gives for that handle. Where the system can open a link as itself (Windows,
// the host) the node is the link (link set); where it cannot (Wine follows
// every link it opens), the final path names the target, and so tells the
// link apart from the name that was opened.
constexpr std::uint32_t kErrorDirectory = 267;              // a folder was wanted
constexpr std::uint32_t kErrorDirectoryNotSupported = 336;  // a file was wanted
constexpr int kOsFinalPathRoom = 320;
struct OsNodeId {
  std::uint64_t volume;
  std::uint64_t index;
};
struct OsNode {
  OsHandle handle;  // 0 when none
  OsHandle parent;  // the folder it was opened from (host), else 0
  OsNodeId id;      // for folders only (files: zero)
  int folder;       // a folder
  int link;         // a link, junction or other reparse point, opened as itself
  int changeable;   // the host's sandbox lets it change
  int ownsParent;   // parent was opened for this node (host), closed with it
  // "C:" or "\server\share": no "\?" prefix, no final '' but a
  // drive root's.
  char finalPath[kOsFinalPathRoom];
  char name[kOsFinalPathRoom];  // the name it was opened by (children)
  // Folders on Windows: the name the system itself gives the open handle
  // (its object name, UTF-8), against which a child's is checked in one
  // cheap call; empty where there is none.
  char systemName[kOsFinalPathRoom];
};
// Opens the file or folder at a full path for removal (removal 1: with the
// right to delete it) or for its identity only. 0 on failure (OsLastError).
int OsNodeOpen(const char* path, int removal, OsNode* node);
// Opens the entry of an open folder by its one name, for removal, without
// following a link at that name. folder 1 wants a folder (a file fails with
// kErrorDirectory), 0 anything but a folder (a folder fails with
// kErrorDirectoryNotSupported). 0 on failure (OsLastError).
int OsNodeOpenChild(const OsNode* parent, const char* name, int folder, OsNode* node);
// The entries of an open folder other than "." and ".."; -1 when it cannot be
// listed.
std::int32_t OsNodeCountEntries(const OsNode* folder);
// Deletes the node through its own handle (a folder must be empty) and
// closes it, whatever the outcome. A link goes as a link. 0 on failure
// (OsLastError: kErrorDirNotEmpty, kErrorSharingViolation, ...).
int OsNodeDelete(OsNode* node);
void OsNodeClose(OsNode* node);

// ---- libraries -------------------------------------------------------------
constexpr std::uint32_t kLoadWithAlteredSearchPath = 0x8;
OsHandle OsLoadLibrary(const char* path, std::uint32_t flags);
void* OsLibraryEntry(OsHandle library, const char* name);
void OsFreeLibrary(OsHandle library);

// ---- shell and processes ---------------------------------------------------
// Carries out the verb on a program or document; keeps the process handle in
// *process (0 when the shell started none). 0 when the shell refused.
int OsShellExecute(const char* verb, const char* file, const char* parameters, int showCommand, OsHandle* process);
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;
std::uint32_t OsWaitForProcess(OsHandle process, std::uint32_t milliseconds);
int OsProcessExitCode(OsHandle process, std::uint32_t* code);  // 0 on failure

// ---- windows and dialogs -------------------------------------------------
// Window and dialog handles are OsHandle values; 0 is none.
constexpr std::uint32_t kWmSetText = 0x000C;
constexpr std::uint32_t kWmGetText = 0x000D;
constexpr std::uint32_t kWmGetTextLength = 0x000E;
constexpr std::uint32_t kWmPaint = 0x000F;
constexpr std::uint32_t kWmClose = 0x0010;
constexpr std::uint32_t kWmQuit = 0x0012;
constexpr std::uint32_t kWmInitDialog = 0x0110;
constexpr std::uint32_t kWmCommand = 0x0111;
constexpr std::uint32_t kWmUser = 0x0400;
constexpr std::uint32_t kBmGetCheck = 0x00F0;
constexpr std::uint32_t kBmSetCheck = 0x00F1;
constexpr std::uint32_t kBmClick = 0x00F5;
constexpr std::uintptr_t kBstUnchecked = 0;
constexpr std::uintptr_t kBstChecked = 1;
constexpr std::uintptr_t kBstIndeterminate = 2;
constexpr std::uint32_t kBnClicked = 0;
constexpr std::uint32_t kEnChange = 0x0300;
constexpr std::uint32_t kEmGetSel = 0x00B0;
constexpr std::uint32_t kEmSetSel = 0x00B1;
constexpr std::uint32_t kEmLimitText = 0x00C5;
constexpr std::uint32_t kEmGetLimitText = 0x00D5;
constexpr std::uint32_t kPbmSetRange = 0x0401;
constexpr std::uint32_t kPbmSetPos = 0x0402;
constexpr std::uint32_t kPbmDeltaPos = 0x0403;
constexpr std::uint32_t kPbmSetRange32 = 0x0406;
constexpr std::uint32_t kPbmGetRange = 0x0407;
constexpr std::uint32_t kPbmGetPos = 0x0408;
constexpr int kSwHide = 0;
constexpr int kSwShow = 5;
constexpr int kIdCancel = 2;
// Every common control class: list view, tree view, bars, tabs, up-down,
// progress, hot key, animation, date, extended combo box, rebar, internet
// address, page scroller.
constexpr std::uint32_t kIccAllClasses = 0x1FFF;

struct OsRect {
  std::int32_t left;
  std::int32_t top;
  std::int32_t right;
  std::int32_t bottom;
};

// One message of the thread's queue, as the system keeps it.
struct OsMessage {
  OsHandle window;
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
  std::uint32_t time;
  std::int32_t x;
  std::int32_t y;
};

// A dialog procedure: non-zero when it handled the message (for
// kWmInitDialog, non-zero lets the system set the focus).
using OsDialogProc = std::intptr_t (*)(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam,
                                       std::intptr_t lParam);

// InitCommonControlsEx with a structure of size 8 and the given classes;
// the system's answer.
int OsInitCommonControls(std::uint32_t classes);
OsHandle OsDesktopWindow();
// The window's rectangle in screen coordinates; 0 (and a zeroed rectangle)
// for no window.
int OsWindowRect(OsHandle window, OsRect* rect);
// Moves the window to (x, y); sizes it too unless keepSize is set. The Z
// order and the activation are left as they are.
int OsPlaceWindow(OsHandle window, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                  int keepSize);
// Looks at (remove 0) or takes (remove 1) the first message waiting for the
// thread, without waiting; 0 when none is waiting.
int OsPeekMessage(OsMessage* message, int remove);
// Puts a message at the end of the thread's queue (window 0: a message for
// the thread itself).
int OsPostMessage(OsHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
void OsTranslateMessage(const OsMessage* message);
std::intptr_t OsDispatchMessage(const OsMessage* message);
// Gives up the rest of the time slice (a sleep of 0 ms).
void OsYield();
// The dialog's control with the identifier, 0 when there is none.
OsHandle OsDialogItem(OsHandle dialog, std::int32_t id);
// Sends the message to the window and waits for its answer.
std::intptr_t OsSendMessage(OsHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
int OsEnableWindow(OsHandle window, int enable);
int OsIsWindowEnabled(OsHandle window);
// The window's text, cut to capacity - 1 characters and terminated; the
// length copied.
std::int32_t OsGetWindowText(OsHandle window, char* out, std::int32_t capacity);
int OsSetWindowText(OsHandle window, const char* text);
int OsShowWindowAsync(OsHandle window, int command);
int OsIsWindowVisible(OsHandle window);
int OsDestroyWindow(OsHandle window);
int OsEndDialog(OsHandle dialog, std::intptr_t result);
// A modeless dialog from the dialog template with the resource identifier
// in the module (instance 0: the running executable). The procedure gets
// initParam with kWmInitDialog. 0 on failure.
OsHandle OsCreateDialog(OsHandle instance, std::int32_t resourceId, OsHandle parent, OsDialogProc procedure,
                        std::intptr_t initParam);
// The same dialog, modal: returns the value given to OsEndDialog, -1 when
// the dialog could not be created.
std::intptr_t OsDialogBox(OsHandle instance, std::int32_t resourceId, OsHandle parent, OsDialogProc procedure,
                          std::intptr_t initParam);

// ---- the relaunch's private copy and the library search -------------------
// Restricts the search for DLLs loaded by name to the system folder (where
// the system can, the folder of a DLL loaded by full path for its own
// dependencies too). Called first thing, before any library is loaded.
// 1 when the search is restricted.
int OsRestrictLibrarySearch();
// A number for a fresh name: different between calls and between processes
// as far as the system allows. A name made from it must still be created
// exclusively.
std::uint32_t OsFreshNumber();
// Copies a file to a name where nothing exists yet: a file, folder or link
// already there fails with kErrorAlreadyExists, and nothing is ever written
// through a link. A copy that could not be completed is removed. 0 on
// failure (see OsLastError).
int OsCopyFileNew(const char* from, const char* to);
// Whether the path names a link (symbolic link, junction or other reparse
// point) rather than a plain file or folder.
int OsIsLink(const char* path);
// Deletes a program's file unless a process runs it; 0 (see OsLastError)
// when it is in use or could not be deleted.
int OsDeleteIdleProgram(const char* path);
// Asks the system to delete a file or an empty folder at the next restart
// (MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT). 0 when the process may not.
int OsDeleteAtRestart(const char* path);

// ---- sockets ---------------------------------------------------------------
// IPv4 TCP/UDP sockets in Winsock 1.1's terms on both sides: error numbers
// are Winsock's (the host maps each errno onto its Winsock number), a
// connect still under way fails with kWsaWouldBlock, and sets hold at most
// 64 sockets.
using OsSocket = std::uintptr_t;
constexpr OsSocket kOsNoSocket = ~static_cast<OsSocket>(0);  // INVALID_SOCKET
constexpr std::int32_t kWsaWouldBlock = 10035;
constexpr std::int32_t kOsSocketSetSize = 64;
struct OsSocketSet {
  std::uint32_t count;
  OsSocket sockets[kOsSocketSetSize];
};
// A resolver's answer: the official name and the first IPv4 address.
struct OsHostEntry {
  char name[256];
  unsigned char address[4];
};
// WSAStartup with the version; the version the service reports in
// *reported. 0, or the Winsock error number the start-up gave.
std::int32_t OsSocketStartup(std::uint16_t version, std::uint16_t* reported);
int OsSocketCleanup();  // 0 on failure (see OsSocketLastError)
// The calling thread's last socket error (WSAGetLastError).
std::int32_t OsSocketLastError();
// An Internet-family socket of the type (1 stream, 2 datagram) and protocol
// number; kOsNoSocket on failure.
OsSocket OsSocketOpen(std::int32_t type, std::int32_t protocol);
int OsSocketClose(OsSocket socket);
int OsSocketShutdown(OsSocket socket);  // both directions
int OsSocketSetBlocking(OsSocket socket, int blocking);
// Starts (or, when blocking, makes) the connection to the IPv4 address
// (first octet first) and port.
int OsSocketConnect(OsSocket socket, const unsigned char address[4], std::uint16_t port);
// One send or receive call: the byte count, or -1 (see OsSocketLastError).
// A send to a peer that has gone fails; it never ends the process.
std::int32_t OsSocketSend(OsSocket socket, const char* buffer, std::int32_t length);
std::int32_t OsSocketReceive(OsSocket socket, char* buffer, std::int32_t length);
// How many bytes wait to be received (FIONREAD); 0 when the query fails.
int OsSocketReadable(OsSocket socket, std::uint32_t* bytes);
// The socket's pending error (SO_ERROR), read and cleared; 0 when the
// option could not be read.
int OsSocketPendingError(OsSocket socket, std::int32_t* code);
// One select over the sets (any may be null), each left holding its ready
// sockets; the number of ready sockets in *ready. 0 when the wait failed.
int OsSocketSelect(OsSocketSet* read, OsSocketSet* write, OsSocketSet* error, std::int32_t seconds,
                   std::int32_t microseconds, std::int32_t* ready);
// Forward and reverse lookups and the machine's own name; 0 on failure
// (see OsSocketLastError).
int OsHostByName(const char* name, OsHostEntry* entry);
int OsHostByAddress(const unsigned char address[4], OsHostEntry* entry);
int OsLocalHostName(char* out, std::int32_t capacity);

// ---- secure connections ------------------------------------------------------
// TLS 1.2 or 1.3 over a connected socket, through the system's own library
// (Schannel on Windows, libssl on the host). The handshake sends the host
// name (SNI) and verifies the server's certificate against the system's
// trusted roots and that name; nothing turns the check off. The session
// keeps the socket non-blocking and its records in buffers of its own.
struct OsTls;
// Why a handshake failed.
constexpr std::int32_t kTlsNoConnection = 1;  // the peer went, or did not answer in time
constexpr std::int32_t kTlsRefused = 2;       // no TLS 1.2 or 1.3 agreed (or no TLS at all)
constexpr std::int32_t kTlsUntrusted = 3;     // no chain to a trusted root
constexpr std::int32_t kTlsNameMismatch = 4;  // the certificate is another name's
constexpr std::int32_t kTlsExpired = 5;       // outside its validity period
constexpr std::int32_t kTlsWeak = 6;          // the system refused a weak key or signature (see the facts)
// What a session agreed and what its server's own certificate holds, as
// far as the system tells; 0 where it does not.
constexpr std::int32_t kTlsKeyRsa = 1;
constexpr std::int32_t kTlsKeyEc = 2;
constexpr std::int32_t kTlsKeyDsa = 3;
constexpr std::int32_t kTlsKeyOther = 4;
constexpr std::int32_t kTlsHashMd2 = 1;
constexpr std::int32_t kTlsHashMd5 = 2;
constexpr std::int32_t kTlsHashSha1 = 3;
constexpr std::int32_t kTlsHashOther = 4;  // SHA-2 and newer, or a scheme of its own (EdDSA)
struct OsTlsFacts {
  std::int32_t protocol;       // the version on the wire: 0x0300 SSL 3.0, 0x0301 TLS 1.0 ... 0x0304 TLS 1.3
  std::int32_t cipherBits;     // the record cipher's strength
  std::int32_t keyKind;        // of the leaf certificate's public key
  std::int32_t keyBits;        // its size (an EC key: its curve's)
  std::int32_t signatureHash;  // the hash of the leaf certificate's signature
};
// The handshake with the server of that name, within timeout ms in all.
// Null on failure, with the reason in *failure and the system's own code in
// *detail (a Winsock error number for kTlsNoConnection). *facts holds what
// was agreed and shown, also after a failure as far as the handshake came;
// the caller decides whether that is strong enough.
OsTls* OsTlsOpen(OsSocket socket, const char* hostName, std::int32_t timeout, std::int32_t* failure,
                 std::uint32_t* detail, OsTlsFacts* facts);
// Decrypted bytes that a receive gives without reading the socket.
std::uint32_t OsTlsPending(const OsTls* session);
// One receive: the decrypted byte count; 0 when the server ended the
// session in order (close_notify); -1 on failure (see OsSocketLastError:
// kWsaWouldBlock while a record is still incomplete, and a connection
// that ends without close_notify is reset, 10054: a cut reply is no end).
std::int32_t OsTlsReceive(OsTls* session, char* buffer, std::int32_t length);
// Encrypts and sends all of the bytes, waiting at most timeout ms each time
// the socket is full: the length, or -1 (see OsSocketLastError).
std::int32_t OsTlsSend(OsTls* session, const char* buffer, std::int32_t length, std::int32_t timeout);
// Releases the session, first telling the server the end (close_notify)
// when notify is 1. The socket stays open.
void OsTlsClose(OsTls* session, int notify);

// ---- the machine's description -------------------------------------------
// The system's version query (GetVersionExA): versions, build number,
// platform identifier and the service-pack text. 0 when it fails.
struct OsVersionInfo {
  std::uint32_t major;
  std::uint32_t minor;
  std::uint32_t build;
  std::uint32_t platform;
  char servicePack[128];
};
int OsVersionQuery(OsVersionInfo* version);
// The whole screen: width and height in pixels, bits per pixel (GetDC with
// no window, GetDeviceCaps). 0 when the screen cannot be measured.
int OsScreenMeasures(std::int32_t* width, std::int32_t* height, std::int32_t* bitsPerPixel);
// Total physical memory and total paging file, in bytes, as the memory
// status query gives them.
int OsMemoryTotals(std::uint64_t* physical, std::uint64_t* pagingFile);

// ---- the update: signatures, its clock and its files ------------------------
// SHA-256, fed piece by piece. The state is the system's own, kept in a
// record of fixed size so that no heap is needed.
struct OsHashState {
  alignas(8) unsigned char opaque[512];
};
constexpr std::uint32_t kOsHashSize = 32;
// 0 when the system offers no SHA-256.
int OsHashBegin(OsHashState* state);
int OsHashData(OsHashState* state, const void* data, std::uint32_t length);
// The digest into 32 bytes; the state is released (also on failure).
int OsHashEnd(OsHashState* state, unsigned char digest[kOsHashSize]);
// Releases a state that will not be ended (a failed download).
void OsHashAbandon(OsHashState* state);
// ECDSA on P-256: whether the 64-byte signature (r then s, big-endian)
// of the 32-byte digest was made with the private key of the public key
// given as its 65-byte uncompressed point (0x04, X, Y). 1 verified, 0 not
// (or the key is no point of the curve).
constexpr std::uint32_t kOsPublicKeySize = 65;
constexpr std::uint32_t kOsSignatureSize = 64;
int OsVerifySignature(const unsigned char publicKey[kOsPublicKeySize], const unsigned char digest[kOsHashSize],
                      const unsigned char signature[kOsSignatureSize]);
// Milliseconds from an arbitrary start, never going back.
std::uint64_t OsTickCount();
// Bytes free to this user on the volume that holds the folder; 0 when
// they cannot be told.
int OsFreeSpace(const char* folder, std::uint64_t* bytes);
// Creates a file where nothing exists yet (no file, folder or link of the
// name) and opens it for binary writing; null on failure (see
// OsLastError).
std::FILE* OsCreateNewFile(const char* path);
// Renames a file over another of the same folder, replacing it in one
// step; 0 on failure (see OsLastError).
int OsReplaceFile(const char* from, const char* to);
// Whether the file is a program that this system starts (on Windows a PE
// image; on the host what its shell starts: an ELF program or a "#!"
// script).
int OsIsProgramFile(const char* path);

// ---- the update's installer, held from its download to its start -----------
// The downloaded installer is verified and started through one hold that
// shuts out every writer: on Windows a handle that shares reading only (no
// one may write, rename or delete the file while it is held); on the host,
// where no open can keep a writer of the same user out, a sealed copy in
// memory that is hashed and started itself.
struct OsHeldFile {
  std::intptr_t handle = -1;  // the file while it is written; on Windows also its hold
  std::intptr_t image = -1;   // host: the sealed copy
  bool sealed = false;
  char path[320] = "";
};
// Creates a new file (nothing of the name may exist, a link included) that
// only this hold may open while it is written. 0 on failure (OsLastError).
int OsHeldCreate(const char* path, OsHeldFile* file);
int OsHeldWrite(OsHeldFile* file, const void* data, std::uint32_t length);
// Ends the writing and holds the file for reading only; every read and the
// start go through the hold from now on. 0 on failure (someone else had
// the file open, or it is no longer the file that was written).
int OsHeldSeal(OsHeldFile* file);
// Reads from the sealed hold at the offset: the bytes read (0 at the end),
// -1 on failure.
std::int32_t OsHeldRead(OsHeldFile* file, std::uint64_t offset, void* buffer, std::uint32_t length);
// Whether the held file is a program this system starts (a PE image on
// Windows; on the host an ELF program or a "#!" script).
int OsHeldIsProgram(OsHeldFile* file);
// Renames the held file over another of the same folder, through its hold.
// 0 on failure (OsLastError).
int OsHeldRename(OsHeldFile* file, const char* to);
// Starts the sealed file with the parameters while it stays held; the
// process handle in *process (waited for with OsWaitForProcess, closed by
// the caller). 0 when it cannot be started, or when its name no longer
// names the held file.
int OsHeldRun(OsHeldFile* file, const char* parameters, OsHandle* process);
// Deletes the file through its hold and releases it (on failure too).
int OsHeldDelete(OsHeldFile* file);
void OsHeldClose(OsHeldFile* file);

// ---- counting ----------------------------------------------------------------
// The calls taken by the seam's file and folder functions (paths, nodes,
// listings, creation and deletion) since the program started: what a
// benchmark weighs per file beside its seconds.
std::uint64_t OsFileSystemCalls();
// Counts one such call; for the seam's own files only.
void OsCountFileSystemCall();
