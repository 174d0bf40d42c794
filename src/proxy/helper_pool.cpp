#include "helper_pool.h"

namespace __http_svr_ns__ {

CHelperPool* _helperpool = nullptr;

}  // namespace __http_svr_ns__
