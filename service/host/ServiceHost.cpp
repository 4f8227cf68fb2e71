#include "service/host/ServiceHost.h"
