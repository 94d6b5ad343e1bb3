// Secure connections over Winsock through Schannel (SSPI, secur32): the
// InitializeSecurityContext loop for the handshake, EncryptMessage and
// DecryptMessage for the records. The certificate is checked by hand
// (tlscert.cpp), not by Schannel, so that the log can tell why it was
// refused.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // SCH_CREDENTIALS, the description that knows TLS 1.3
#include <winsock2.h>
#include <windows.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstring>
#include <initializer_list>

#include "os.h"
#include "tlscert.h"

namespace {

// One record at its largest (16 KB of data, with room for the header, the
// padding and the authentication tag); the handshake's messages pass one
// record at a time too.
constexpr DWORD kRecordRoom = 16384 + 2048 + 512;
// Received bytes are taken many records at a time: under Wine each receive
// is a round trip to its server.
constexpr DWORD kIncomingRoom = 8 * kRecordRoom;

constexpr DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

}  // namespace

struct OsTls {
  SOCKET socket;
  CredHandle credentials;
  CtxtHandle context;
  bool hasContext;
  SecPkgContext_StreamSizes sizes;
  // Received bytes: records not yet decrypted at the start (raw), or, while
  // decrypted bytes wait (plain), the records after them (extra).
  char incoming[kIncomingRoom];
  DWORD raw;
  char* plain;
  DWORD plainLength;
  char* extra;
  DWORD extraLength;
  char outgoing[kRecordRoom];
  bool ended;            // the server's close_notify came
  std::int32_t timeout;  // the longest wait for the peer, in ms
};

namespace {

// Waits until the socket can be read (or written); 0 with the Winsock error
// (a time-out is WSAETIMEDOUT) when it cannot.
bool WaitFor(SOCKET socket, bool write, std::int32_t timeout) {
  fd_set set;
  set.fd_count = 1;
  set.fd_array[0] = socket;
  timeval wait = {timeout / 1000, (timeout % 1000) * 1000};
  int n = select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &wait);
  if (n == 0) WSASetLastError(WSAETIMEDOUT);
  return n > 0;
}

// The milliseconds left until the deadline (OsTickCount's), 0 once past.
std::int32_t Left(std::uint64_t deadline) {
  std::uint64_t now = OsTickCount();
  return now >= deadline ? 0 : static_cast<std::int32_t>(deadline - now);
}

bool SendAll(SOCKET socket, const char* data, DWORD length, std::int32_t timeout) {
  while (length > 0) {
    int n = send(socket, data, static_cast<int>(length), 0);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitFor(socket, true, timeout)) return false;
      continue;
    }
    data += n;
    length -= static_cast<DWORD>(n);
  }
  return true;
}

// Sends what InitializeSecurityContext gave and frees it.
bool SendToken(OsTls* session, SecBuffer* token, std::int32_t timeout) {
  bool sent = true;
  if (token->pvBuffer != nullptr && token->cbBuffer > 0)
    sent = SendAll(session->socket, static_cast<const char*>(token->pvBuffer), token->cbBuffer, timeout);
  if (token->pvBuffer != nullptr) FreeContextBuffer(token->pvBuffer);
  token->pvBuffer = nullptr;
  token->cbBuffer = 0;
  return sent;
}

// Reads more of the peer's records after the raw ones, waiting at most the
// time-out; 0 bytes when the peer closed.
int ReadMore(OsTls* session, std::int32_t timeout) {
  if (session->raw >= sizeof session->incoming) {
    WSASetLastError(WSAEMSGSIZE);
    return -1;
  }
  for (;;) {
    int n = recv(session->socket, session->incoming + session->raw,
                 static_cast<int>(sizeof session->incoming - session->raw), 0);
    if (n != SOCKET_ERROR) {
      if (n > 0) session->raw += static_cast<DWORD>(n);
      return n;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitFor(session->socket, false, timeout)) return -1;
  }
}

// The credentials for TLS 1.2 and 1.3, checked by hand: the newer
// description where the system knows it, else the older one (which some
// systems take only without TLS 1.3).
bool Acquire(CredHandle* credentials) {
  TimeStamp expiry;
  TLS_PARAMETERS parameters = {};
  parameters.grbitDisabledProtocols = static_cast<DWORD>(~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT));
  SCH_CREDENTIALS modern = {};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  char package[] = UNISP_NAME_A;
  if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &modern, nullptr, nullptr, credentials,
                                &expiry) == SEC_E_OK)
    return true;
  for (DWORD protocols :
       {static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT), static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT)}) {
    SCHANNEL_CRED older = {};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = protocols;
    older.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr, nullptr,
                                  credentials, &expiry) == SEC_E_OK)
      return true;
  }
  return false;
}

// The handshake's steps until the context is complete, all before the
// deadline. Records of the peer that came after its end stay raw.
bool Handshake(OsTls* session, const char* hostName, std::uint64_t deadline, std::int32_t* failure,
               std::uint32_t* detail) {
  char* target = const_cast<char*>(hostName);
  SecBuffer outToken = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out = {SECBUFFER_VERSION, 1, &outToken};
  ULONG attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status = InitializeSecurityContextA(&session->credentials, nullptr, target, kRequest, 0, 0, nullptr,
                                                      0, &session->context, &out, &attributes, &expiry);
  if (status != SEC_I_CONTINUE_NEEDED) {
    if (outToken.pvBuffer) FreeContextBuffer(outToken.pvBuffer);
    *detail = static_cast<std::uint32_t>(status);
    return false;
  }
  session->hasContext = true;
  if (!SendToken(session, &outToken, Left(deadline))) {
    *failure = kTlsNoConnection;
    *detail = static_cast<std::uint32_t>(WSAGetLastError());
    return false;
  }
  while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
    if (session->raw == 0 || status == SEC_E_INCOMPLETE_MESSAGE) {
      int n = ReadMore(session, Left(deadline));
      if (n <= 0) {
        *failure = kTlsNoConnection;
        *detail = static_cast<std::uint32_t>(n == 0 ? WSAECONNRESET : WSAGetLastError());
        return false;
      }
      // A reply that is no TLS record at all (a plain HTTP server's error
      // page) is a refusal, not a record still to be completed.
      unsigned char type = static_cast<unsigned char>(session->incoming[0]);
      if (type < 20 || type > 24) {
        *detail = static_cast<std::uint32_t>(SEC_E_ILLEGAL_MESSAGE);
        return false;
      }
    }
    SecBuffer inBuffers[2] = {{session->raw, SECBUFFER_TOKEN, session->incoming}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in = {SECBUFFER_VERSION, 2, inBuffers};
    outToken = {0, SECBUFFER_TOKEN, nullptr};
    status = InitializeSecurityContextA(&session->credentials, &session->context, target, kRequest, 0, 0, &in, 0,
                                        nullptr, &out, &attributes, &expiry);
    if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
    // A refusal may carry an alert for the peer; it is sent all the same.
    if (!SendToken(session, &outToken, Left(deadline)) && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
      *failure = kTlsNoConnection;
      *detail = static_cast<std::uint32_t>(WSAGetLastError());
      return false;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) break;
    if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0) {
      std::memmove(session->incoming, session->incoming + session->raw - inBuffers[1].cbBuffer, inBuffers[1].cbBuffer);
      session->raw = inBuffers[1].cbBuffer;
    } else {
      session->raw = 0;
    }
  }
  if (status != SEC_E_OK) {
    *failure = kTlsRefused;
    *detail = static_cast<std::uint32_t>(status);
    return false;
  }
  return true;
}

void Release(OsTls* session) {
  if (session->hasContext) DeleteSecurityContext(&session->context);
  FreeCredentialsHandle(&session->credentials);
  HeapFree(GetProcessHeap(), 0, session);
}

// Decrypts the first record of the raw bytes. 1: decrypted bytes (maybe
// none) wait; 0: the record is not complete; -1: the session has ended or
// failed (ended tells which).
int DecryptNext(OsTls* session, std::int32_t timeout) {
  SecBuffer buffers[4] = {{session->raw, SECBUFFER_DATA, session->incoming},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
  bool alert = session->raw > 0 && session->incoming[0] == 21;
  SECURITY_STATUS status = DecryptMessage(&session->context, &message, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
  if (status == SEC_I_CONTEXT_EXPIRED) {
    session->ended = true;
    session->raw = 0;
    return -1;
  }
  if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
    WSASetLastError(WSAECONNABORTED);
    return -1;
  }
  session->plain = nullptr;
  session->plainLength = 0;
  session->extra = nullptr;
  session->extraLength = 0;
  for (SecBuffer& buffer : buffers) {
    if (buffer.BufferType == SECBUFFER_DATA) {
      session->plain = static_cast<char*>(buffer.pvBuffer);
      session->plainLength = buffer.cbBuffer;
    } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
      session->extraLength = buffer.cbBuffer;
      session->extra = session->incoming + session->raw - buffer.cbBuffer;
    }
  }
  session->raw = 0;
  // Wine's Schannel gives the server's close_notify as an alert record with
  // nothing in it rather than as the context's end. An alert that came
  // through the session's own keys without an error can only be that one.
  if (status == SEC_E_OK && alert && session->plainLength == 0) {
    session->ended = true;
    return 1;
  }
  if (status == SEC_I_RENEGOTIATE) {
    // After the handshake the server may still send handshake messages
    // (TLS 1.3's tickets, a key update): the context takes them.
    DWORD length = session->extraLength;
    std::memmove(session->incoming, session->extra, length);
    session->raw = length;
    session->extra = nullptr;
    session->extraLength = 0;
    SecBuffer inBuffers[2] = {{session->raw, SECBUFFER_TOKEN, session->incoming}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in = {SECBUFFER_VERSION, 2, inBuffers};
    SecBuffer outToken = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out = {SECBUFFER_VERSION, 1, &outToken};
    ULONG attributes = 0;
    TimeStamp expiry;
    status = InitializeSecurityContextA(&session->credentials, &session->context, nullptr, kRequest, 0, 0, &in, 0,
                                        nullptr, &out, &attributes, &expiry);
    bool sent = SendToken(session, &outToken, timeout);
    if ((status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) || !sent) {
      WSASetLastError(WSAECONNABORTED);
      return -1;
    }
    if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0) {
      std::memmove(session->incoming, session->incoming + session->raw - inBuffers[1].cbBuffer, inBuffers[1].cbBuffer);
      session->raw = inBuffers[1].cbBuffer;
    } else {
      session->raw = 0;
    }
  }
  return 1;
}

}  // namespace

OsTls* OsTlsOpen(OsSocket socket, const char* hostName, std::int32_t timeout, std::int32_t* failure,
                 std::uint32_t* detail, OsTlsFacts* facts) {
  *failure = kTlsRefused;
  *detail = 0;
  *facts = OsTlsFacts{};
  std::uint64_t deadline = OsTickCount() + static_cast<std::uint64_t>(timeout < 0 ? 0 : timeout);
  OsTls* session = static_cast<OsTls*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(OsTls)));
  if (session == nullptr) return nullptr;
  session->socket = static_cast<SOCKET>(socket);
  session->timeout = timeout;
  if (!Acquire(&session->credentials)) {
    *detail = GetLastError();
    HeapFree(GetProcessHeap(), 0, session);
    return nullptr;
  }
  u_long nonBlocking = 1;
  bool ready = ioctlsocket(session->socket, FIONBIO, &nonBlocking) == 0;
  if (!ready) {
    *failure = kTlsNoConnection;
    *detail = static_cast<std::uint32_t>(WSAGetLastError());
  }
  ready = ready && Handshake(session, hostName, deadline, failure, detail);
  if (ready) TlsDescribe(&session->context, facts);
  ready = ready && TlsVerifyServer(&session->context, hostName, failure, detail);
  if (ready) {
    SECURITY_STATUS status = QueryContextAttributesA(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes);
    ready =
        status == SEC_E_OK && session->sizes.cbHeader + session->sizes.cbMaximumMessage + session->sizes.cbTrailer <=
                                  sizeof session->outgoing;
    if (!ready) {
      *failure = kTlsRefused;
      *detail = static_cast<std::uint32_t>(status);
    }
  }
  if (!ready) {
    Release(session);
    return nullptr;
  }
  return session;
}

std::uint32_t OsTlsPending(const OsTls* session) { return session->plainLength; }

std::int32_t OsTlsReceive(OsTls* session, char* buffer, std::int32_t length) {
  if (length <= 0) return 0;
  // As many records as have come, up to the buffer's length: under Wine each
  // wait for the socket is a round trip to its server.
  std::int32_t total = 0;
  for (;;) {
    if (session->plainLength > 0) {
      DWORD room = static_cast<DWORD>(length - total);
      DWORD n = session->plainLength < room ? session->plainLength : room;
      std::memcpy(buffer + total, session->plain, n);
      session->plain += n;
      session->plainLength -= n;
      total += static_cast<std::int32_t>(n);
      if (total == length) return total;
      continue;
    }
    if (session->ended) return total;
    if (session->extraLength > 0) {
      std::memmove(session->incoming, session->extra, session->extraLength);
      session->raw = session->extraLength;
      session->extra = nullptr;
      session->extraLength = 0;
    }
    if (session->raw > 0) {
      int decrypted = DecryptNext(session, session->timeout);
      if (decrypted < 0) return session->ended || total > 0 ? total : -1;
      if (decrypted > 0) continue;
    }
    // What the socket has; an incomplete record waits for the next call.
    int n = recv(session->socket, session->incoming + session->raw,
                 static_cast<int>(sizeof session->incoming - session->raw), 0);
    if (total > 0 && n <= 0) return total;  // the end or the error again, next time
    if (n == 0) {
      // Closed without close_notify: the reply may have been cut.
      WSASetLastError(WSAECONNRESET);
      return -1;
    }
    if (n == SOCKET_ERROR) return -1;  // WSAEWOULDBLOCK when nothing has come yet
    session->raw += static_cast<DWORD>(n);
    int decrypted = DecryptNext(session, session->timeout);
    if (decrypted < 0) return session->ended || total > 0 ? total : -1;
    if (decrypted == 0 && session->raw >= sizeof session->incoming) {
      WSASetLastError(WSAEMSGSIZE);
      return -1;
    }
    if (decrypted == 0 || (session->plainLength == 0 && session->raw == 0 && session->extraLength == 0)) {
      if (total > 0 || session->ended) return total;
      WSASetLastError(WSAEWOULDBLOCK);
      return -1;
    }
  }
}

std::int32_t OsTlsSend(OsTls* session, const char* buffer, std::int32_t length, std::int32_t timeout) {
  std::int32_t sent = 0;
  while (sent < length) {
    DWORD piece = static_cast<DWORD>(length - sent);
    if (piece > session->sizes.cbMaximumMessage) piece = session->sizes.cbMaximumMessage;
    char* header = session->outgoing;
    char* data = header + session->sizes.cbHeader;
    std::memcpy(data, buffer + sent, piece);
    SecBuffer buffers[4] = {{session->sizes.cbHeader, SECBUFFER_STREAM_HEADER, header},
                            {piece, SECBUFFER_DATA, data},
                            {session->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, data + piece},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&session->context, 0, &message, 0) != SEC_E_OK) {
      WSASetLastError(WSAECONNABORTED);
      return -1;
    }
    DWORD total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    if (!SendAll(session->socket, header, total, timeout)) return -1;
    sent += static_cast<std::int32_t>(piece);
  }
  return sent;
}

void OsTlsClose(OsTls* session, int notify) {
  if (session == nullptr) return;
  if (notify == 1 && session->hasContext) {
    DWORD kind = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof kind, SECBUFFER_TOKEN, &kind};
    SecBufferDesc controls = {SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&session->context, &controls) == SEC_E_OK) {
      SecBuffer outToken = {0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc out = {SECBUFFER_VERSION, 1, &outToken};
      ULONG attributes = 0;
      TimeStamp expiry;
      SECURITY_STATUS status = InitializeSecurityContextA(&session->credentials, &session->context, nullptr, kRequest,
                                                          0, 0, nullptr, 0, nullptr, &out, &attributes, &expiry);
      // One try: a server that has gone needs no notice.
      if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)
        SendToken(session, &outToken, 0);
      else if (outToken.pvBuffer)
        FreeContextBuffer(outToken.pvBuffer);
    }
  }
  Release(session);
}
