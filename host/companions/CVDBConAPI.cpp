// The database-connection library: the host's open connection and its application server.
#include "CVHostServices.h"
#include "HostSettings.h"

extern "C" void* CVCALL GetPlatFormConnectionBroker(void) { return cvhost::connectionBroker(); }

extern "C" void* CVCALL GetBaseDBConnection(void) { return cvhost::baseConnection(); }
