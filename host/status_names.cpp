#include "ofx_host.h"

namespace ofxhost {

std::string statusName(OfxStatus status) {
  static const char* const names[] = {"kOfxStatOK",
                                      "kOfxStatFailed",
                                      "kOfxStatErrFatal",
                                      "kOfxStatErrUnknown",
                                      "kOfxStatErrMissingHostFeature",
                                      "kOfxStatErrUnsupported",
                                      "kOfxStatErrExists",
                                      "kOfxStatErrFormat",
                                      "kOfxStatErrMemory",
                                      "kOfxStatErrBadHandle",
                                      "kOfxStatErrBadIndex",
                                      "kOfxStatErrValue",
                                      "kOfxStatReplyYes",
                                      "kOfxStatReplyNo",
                                      "kOfxStatReplyDefault"};
  if (status >= 0 && status <= 14) return std::string(names[status]) + " " + std::to_string(status);
  return "status " + std::to_string(status);
}

}  // namespace ofxhost
