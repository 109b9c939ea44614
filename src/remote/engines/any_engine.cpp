#include "remote/engines/engine.h"

// Apart from the engines' common code, so that a program linking one engine
// does not pull in the other.
namespace kelv::remote {

std::expected<std::unique_ptr<Client>, Failure> connect(const ServerUrl& url,
                                                        const Limits& limits) {
  // S3 is HTTP, signed.
  return url.engine == Engine::redis ? connect_redis(url, limits) : connect_http(url, limits);
}

}  // namespace kelv::remote
