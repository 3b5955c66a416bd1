// amqp_backend.cpp - queue managers whose queues live on an AMQP broker.
#include "backend.h"

namespace corvane {

CVLONG OpenAmqpBackend(const QmgrDef &, std::unique_ptr<Backend> *) {
  // The broker backend is not part of this build yet.
  return CVRC_Q_MGR_NOT_AVAILABLE;
}

}  // namespace corvane
