// Built, never run: a host that includes only the facade's header gets the
// facade, the job record and the error codes, and the strict warnings of
// its own build find nothing in our headers.

#include "tessel/engine/tessel_api.h"

[[maybe_unused]] static const char* lastProblem(zintar::TesselApi& api) {
  zintar::TesselJob job;
  if (api.popJob(job) && job.getType() == zintar::TesselJob::JobError) return job.getErrorString();
  return api.getError() == zintar::ErrorCode::Successful ? nullptr : zintar::errorText(api.getError());
}
