// The HTTP exchange of a registration. This build has no network client
// yet: every attempt fails honestly, so nothing is ever taken for sent.
#include "register.h"

#include "tessel-core.h"

std::int32_t RegistrationPost(const char* url, std::int32_t proxy, const char*, const char*, std::int32_t length,
                              char* reply, std::int32_t replyCapacity) {
  if (reply != nullptr && replyCapacity > 0) reply[0] = '\0';
  LogPrint("Unable to send registration to '%s' (%d bytes%s): no network client in this build\n", url, length,
           proxy ? ", through the proxy" : "");
  return 0;
}
