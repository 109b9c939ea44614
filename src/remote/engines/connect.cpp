#include "remote/engines/engine.h"

namespace kelv::remote {

std::string scrubbed(std::string text, const ServerUrl& url) {
  for (const std::string* secret : {&url.password, &url.user}) {
    // One or two characters would be replaced all over the message while
    // hiding next to nothing.
    if (secret->size() < 3) continue;
    for (size_t at = text.find(*secret); at != std::string::npos; at = text.find(*secret, at + 3))
      text.replace(at, secret->size(), "***");
  }
  return text;
}

}  // namespace kelv::remote
