// RunEngines: what a run mode (script run, shell) owns for its sessions and mail records.
#pragma once

#include "client/transfer/net/engine_owner.h"
#include "client/transfer/session/session.h"

namespace orvane {

// One engine for transfers (TLS and SSH filters), one for mail (TLS), each started by its first
// user; and the request handlers of every protocol kind. Outlives the sessions and mail records
// made on it.
struct RunEngines {
    RunEngines();
    RunEngines(const RunEngines&) = delete;
    RunEngines& operator=(const RunEngines&) = delete;

    EngineOwner transfer;
    EngineOwner mail;
    RequestTable requests;
};

}  // namespace orvane
