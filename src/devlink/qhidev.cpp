#include "devlink/qhidev.h"

namespace kestrel {

qhidev_list g_qhidev_list;

}  // namespace kestrel
