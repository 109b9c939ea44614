#include "remote/engines/engine.h"

// Apart from the engines' common code, so that a program linking one engine
// does not pull in the other.
namespace kelv::remote {

std::expected<std::unique_ptr<Client>, std::string> connect(const ServerUrl& url,
                                                            Timeouts timeouts) {
  return url.engine == Engine::redis ? connect_redis(url, timeouts) : connect_http(url, timeouts);
}

}  // namespace kelv::remote
