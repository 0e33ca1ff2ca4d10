// A route and a body handed to the command handlers in process, the facade on an in-process
// radio: every request gets a reply with a status, and nothing escapes a handler.
#include <httplib.h>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "server/http_server.h"

namespace {

using Handler = void (*)(const httplib::Request&, httplib::Response&);

const Handler kHandlers[] = {
    HTTPServer::version,
    HTTPServer::dequeueScriptIfTime,
    HTTPServer::setLastError,
    HTTPServer::getLastError,
    HTTPServer::getLastErrorMessage,
    HTTPServer::startScan,
    HTTPServer::stopScan,
    HTTPServer::connect,
    HTTPServer::disconnect,
    HTTPServer::read,
    HTTPServer::write,
    HTTPServer::subscribe,
    HTTPServer::startAdvertising,
    HTTPServer::stopAdvertising,
    HTTPServer::getLocalChar,
    HTTPServer::setLocalChar,
    HTTPServer::get,
    HTTPServer::set,
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The handlers log every request; the fuzzer's own report goes to standard error.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  fuzz::facade();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  Handler handler = kHandlers[input.byte() % std::size(kHandlers)];
  httplib::Request request;
  request.method = "POST";
  request.body = input.rest();
  httplib::Response response;
  handler(request, response);
  // -1 is the library's "not set", which it serves as 200.
  int status = response.status;
  if (status != -1 && status != 200 && status != 400 && status != 500) std::abort();
  return 0;
}
