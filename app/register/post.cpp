// The HTTP exchange of a registration: the header that HttpClient composes,
// the body right after it, and the reply read until it holds the word that
// confirms the registration or the server stops sending.
#include "http.h"
#include "progress.h"
#include "register.h"
#include "socket.h"
#include "tessel-core.h"

std::int32_t RegistrationPost(const char* url, std::int32_t proxy, const char* agent, const char* body,
                              std::int32_t length, char* reply, std::int32_t replyCapacity) {
  reply[0] = '\0';
  SocketHandle* handle = nullptr;
  std::int32_t headerLength = 0;
  if (!HttpClient(url, agent, "POST", length, proxy, &handle, reply, replyCapacity, &headerLength)) return 0;
  std::int32_t result = 0;
  if (!SocketSendAll(handle, reply, headerLength)) {
    LogPrint("Unable to output header (%s)\n", SocketErrorText(handle));
  } else if (!SocketSendAll(handle, body, length)) {
    LogPrint("Unable to output Encode (%s)\n", SocketErrorText(handle));
  } else {
    ProgressWindowSet(60.0);
    std::int32_t received = 0;
    reply[0] = '\0';
    for (;;) {
      std::int32_t count = 0;
      if (!SocketReceive(handle, reply + received, replyCapacity - received - 1, &count)) break;
      received += count;
      reply[received] = '\0';
      // The word may come cut across two pieces: the whole reply so far is
      // searched each time.
      if (RegistrationReplyConfirms(reply)) {
        result = 1;
        break;
      }
    }
  }
  ProgressWindowSet(80.0);
  SocketShutdown(handle);
  SocketClose(handle);
  SocketDelete(&handle);
  return result;
}
