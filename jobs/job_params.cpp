#include "jobs/job_params.h"

JobParamsRecord JobParams;
