#include "back-ldbm/backend.h"
#include "back-ldbm/ops.h"

namespace kry {

void ldbm_install_request_ops(BackendOps* ops) {
  ops->bind = ldbm_back_bind;
  ops->compare = ldbm_back_compare;
  ops->modify = ldbm_back_modify;
  ops->modrdn = ldbm_back_modrdn;
  ops->add = ldbm_back_add;
  ops->del = ldbm_back_delete;
}

}  // namespace kry
