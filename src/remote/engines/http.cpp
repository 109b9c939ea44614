#include <curl/curl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "remote/engines/engine.h"
#include "remote/scrub.h"
#include "util/hash.h"

namespace kelv::remote {

namespace {

struct EasyFree {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using Easy = std::unique_ptr<CURL, EasyFree>;

struct MultiFree {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using Multi = std::unique_ptr<CURLM, MultiFree>;

struct ListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using List = std::unique_ptr<curl_slist, ListFree>;

// The program is single-threaded; the library is set up once and left so.
// A TLS key log named by the environment would hold what decrypts the
// traffic, credentials included: the library never sees the variable.
bool global_init() {
  static const bool done = [] {
    ::unsetenv("SSLKEYLOGFILE");
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  }();
  return done;
}

// Where a response body goes: an object's bytes to the caller's file, any
// other body (an error page, a reply to PUT) nowhere. Both are counted
// against their limit; a body past it ends the transfer.
struct Body {
  CURL* easy = nullptr;
  int fd = -1;  // -1: the body is dropped
  uint64_t limit = small_reply_limit;
  uint64_t received = 0;
  bool too_large = false;
  int write_error = 0;
};

size_t take_body(char* data, size_t size, size_t count, void* sink) {
  auto* body = static_cast<Body*>(sink);
  const size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(body->easy, CURLINFO_RESPONSE_CODE, &status);
  const bool object = body->fd >= 0 && status == 200;
  body->received += n;
  if (body->received > (object ? body->limit : small_reply_limit)) {
    body->too_large = true;
    if (!object) body->limit = small_reply_limit;
    return 0;
  }
  if (!object) return n;
  for (size_t done = 0; done < n;) {
    const ssize_t w = ::write(body->fd, data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      body->write_error = w < 0 ? errno : ENOSPC;
      return 0;
    }
    done += static_cast<size_t>(w);
  }
  return n;
}

struct Upload {
  std::string_view bytes;
  size_t done = 0;
};

size_t read_upload(char* buffer, size_t size, size_t count, void* source) {
  auto* upload = static_cast<Upload*>(source);
  const size_t n = std::min(size * count, upload->bytes.size() - upload->done);
  std::copy_n(upload->bytes.data() + upload->done, n, buffer);
  upload->done += n;
  return n;
}

// Letters, digits and "/-_.~" stay; anything else is percent-encoded.
std::string escaped(std::string_view object) {
  std::string out;
  for (const char c : object) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
    if (plain)
      out += c;
    else
      out += fmt::format("%{:02X}", static_cast<unsigned char>(c));
  }
  return out;
}

// A status that turns down one object rather than the client: the request
// was too large or did not fit the server's rules for that name.
bool refuses_object(long status) {
  return status == 400 || status == 409 || status == 411 || status == 413 || status == 414 ||
         status == 415 || status == 422;
}

class HttpClient final : public Client {
 public:
  HttpClient(const ServerUrl& url, const Limits& limits) : url_(url), limits_(limits) {}

  std::expected<void, Failure> open() {
    if (!global_init()) return failure("cannot initialise libcurl");
    easy_.reset(curl_easy_init());
    multi_.reset(curl_multi_init());
    if (!easy_ || !multi_) return failure("cannot initialise libcurl");
    headers_.reset(curl_slist_append(nullptr, "Expect:"));
    CURL* h = easy_.get();
    body_.easy = h;
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(limits_.connect_timeout().count()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, take_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body_);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, read_upload);
    // Only a proxy configured for kelv: the credentials must not travel
    // through one that http_proxy or https_proxy name for everything else.
    const char* proxy = std::getenv("KELV_REMOTE_PROXY");
    curl_easy_setopt(h, CURLOPT_PROXY, proxy ? proxy : "");
    if (const char* ca = std::getenv("KELV_REMOTE_CA_FILE"); ca && *ca)
      curl_easy_setopt(h, CURLOPT_CAINFO, ca);
    if (url_.engine == Engine::s3) {
      // libcurl signs each request (AWS Signature Version 4) with the key's
      // id and secret.
      sigv4_ = fmt::format("aws:amz:{}:s3", url_.region);
      curl_easy_setopt(h, CURLOPT_AWS_SIGV4, sigv4_.c_str());
      curl_easy_setopt(h, CURLOPT_USERNAME, url_.user.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, url_.password.c_str());
    } else if (!url_.user.empty() || !url_.password.empty()) {
      curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
      curl_easy_setopt(h, CURLOPT_USERNAME, url_.user.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, url_.password.c_str());
    }
    return {};
  }

  std::expected<bool, Failure> get(std::string_view object, int fd, uint64_t most_bytes) override {
    CURL* h = easy_.get();
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    set_headers(empty_sha256);
    // An announced length past the limit fails before a byte is read.
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(std::min<uint64_t>(most_bytes, INT64_MAX)));
    body_.fd = fd;
    body_.limit = most_bytes;
    auto status = perform("GET", object);
    body_.fd = -1;
    body_.limit = small_reply_limit;
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, curl_off_t{0});
    if (!status) return std::unexpected(status.error());
    if (*status == 404) return false;
    if (*status != 200) return answered("GET", object, *status);
    return true;
  }

  std::expected<bool, Failure> has(std::string_view object) override {
    curl_easy_setopt(easy_.get(), CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy_.get(), CURLOPT_NOBODY, 1L);
    set_headers(empty_sha256);
    auto status = perform("HEAD", object);
    curl_easy_setopt(easy_.get(), CURLOPT_NOBODY, 0L);
    if (!status) return std::unexpected(status.error());
    if (*status == 404) return false;
    if (*status != 200) return answered("HEAD", object, *status);
    return true;
  }

  std::expected<void, Failure> put(std::string_view object, std::string_view bytes) override {
    Upload upload{.bytes = bytes};
    curl_easy_setopt(easy_.get(), CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy_.get(), CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy_.get(), CURLOPT_READDATA, &upload);
    curl_easy_setopt(easy_.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
    set_headers(url_.engine == Engine::s3 ? util::sha256_hex(bytes) : std::string());
    auto status = perform("PUT", object);
    curl_easy_setopt(easy_.get(), CURLOPT_UPLOAD, 0L);
    if (!status) return std::unexpected(status.error());
    if (*status != 200 && *status != 201 && *status != 204) return answered("PUT", object, *status);
    return {};
  }

 private:
  // The SHA-256 of an empty body, which S3 wants named for GET and HEAD.
  static constexpr std::string_view empty_sha256 =
      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

  // The request's headers: no "Expect: 100-continue" wait; for S3 the body's
  // hash (part of the signature) and the session token, when there is one.
  void set_headers(std::string_view body_sha256) {
    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    if (url_.engine == Engine::s3) {
      list = curl_slist_append(list, fmt::format("x-amz-content-sha256: {}", body_sha256).c_str());
      if (!url_.token.empty())
        list = curl_slist_append(list, fmt::format("x-amz-security-token: {}", url_.token).c_str());
    }
    headers_.reset(list);
    curl_easy_setopt(easy_.get(), CURLOPT_HTTPHEADER, headers_.get());
  }

  std::unexpected<Failure> failure(std::string_view what,
                                   Failure::Scope scope = Failure::Scope::server) const {
    return std::unexpected(
        Failure{printable(fmt::format("{}: {}", url_.display, what), url_), scope});
  }

  std::unexpected<Failure> answered(std::string_view method, std::string_view object,
                                    long status) const {
    return failure(fmt::format("{} {} answered {}", method, object, status),
                   refuses_object(status) ? Failure::Scope::object : Failure::Scope::request);
  }

  // Runs the request set up by the caller; the HTTP status, or the
  // transport's failure.
  std::expected<long, Failure> perform(std::string_view method, std::string_view object) {
    const std::string address = url_.address(escaped(object));
    CURL* h = easy_.get();
    curl_easy_setopt(h, CURLOPT_URL, address.c_str());
    body_.received = 0;
    body_.too_large = false;
    body_.write_error = 0;
    error_[0] = '\0';
    std::string late;
    const CURLcode code = transfer(late);
    const auto failed = [&](std::string_view why) {
      return failure(fmt::format("{} {} failed: {}", method, object, why));
    };
    if (!late.empty()) return failed(late);
    if (body_.too_large || code == CURLE_FILESIZE_EXCEEDED) {
      // An object too large for this client is that object's matter; an
      // endless error page or reply is the server's.
      const bool of_object = body_.limit != small_reply_limit;
      return failure(fmt::format("{} {} failed: the answer is larger than {} bytes", method, object,
                                 body_.limit),
                     of_object ? Failure::Scope::object : Failure::Scope::server);
    }
    if (body_.write_error != 0)
      return failed(fmt::format("cannot write the object: {}", std::strerror(body_.write_error)));
    if (code != CURLE_OK) return failed(error_[0] != '\0' ? error_ : curl_easy_strerror(code));
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return status;
  }

  // Runs the request, ending it when it breaks the limits (libcurl's own
  // low-speed limit counts whole seconds and has no overall rate); `late`
  // then says how.
  CURLcode transfer(std::string& late) {
    CURL* h = easy_.get();
    if (curl_multi_add_handle(multi_.get(), h) != CURLM_OK) return CURLE_FAILED_INIT;
    Pace pace(limits_, Pace::Clock::now());
    curl_off_t moved = 0;
    CURLcode result = CURLE_OK;
    for (int running = 1;;) {
      if (curl_multi_perform(multi_.get(), &running) != CURLM_OK) {
        result = CURLE_RECV_ERROR;
        break;
      }
      if (running == 0) {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &left))
          if (msg->msg == CURLMSG_DONE) result = msg->data.result;
        break;
      }
      curl_off_t down = 0, up = 0;
      curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &down);
      curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &up);
      const auto now = Pace::Clock::now();
      pace.moved(static_cast<uint64_t>(down + up - moved), now);
      moved = down + up;
      if (auto why = pace.overdue(now)) {
        late = std::move(*why);
        result = CURLE_OPERATION_TIMEDOUT;
        break;
      }
      curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(pace.next_check(now).count()),
                      nullptr);
    }
    curl_multi_remove_handle(multi_.get(), h);
    return result;
  }

  ServerUrl url_;
  Limits limits_;
  Multi multi_;
  Easy easy_;
  List headers_;
  std::string sigv4_;
  Body body_;
  char error_[CURL_ERROR_SIZE] = {};
};

}  // namespace

std::expected<std::unique_ptr<Client>, Failure> connect_http(const ServerUrl& url,
                                                             const Limits& limits) {
  auto client = std::make_unique<HttpClient>(url, limits);
  if (auto opened = client->open(); !opened) return std::unexpected(opened.error());
  return client;
}

}  // namespace kelv::remote
