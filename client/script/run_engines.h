// RunEngines: what a run mode (script run, shell) owns for its sessions and mail records.
#pragma once

#include "client/transfer/net/engine_owner.h"
#include "client/transfer/session/session.h"
#include "client/transfer/tls/tls_trust.h"

namespace orvane {

// What a run's command line (or its environment) says about TLS.
struct TlsRunSettings {
    TlsTrustSettings trust;
    ClientCertificate certificate;  // presented to FTPS servers; empty: none
    bool implicit = false;          // FTPS sessions start TLS at once, on any port
};

// One engine for transfers (TLS and SSH filters), one for mail (TLS), each started by its first
// user; and the request handlers of every protocol kind. Outlives the sessions and mail records
// made on it.
struct RunEngines {
    explicit RunEngines(const TlsRunSettings& tls = {});
    RunEngines(const RunEngines&) = delete;
    RunEngines& operator=(const RunEngines&) = delete;

    // Presents the run's client certificate from the first connection on. 0 when there is none
    // or it loads; 1 when it does not (the message is the caller's).
    int load_client_certificate();
    // The run's settings on a session it makes.
    void prepare_session(Session& s) const { s.implicit_tls = tls_settings.implicit; }

    TlsRunSettings tls_settings;
    TlsTrustPolicy trust;  // before the engines: their connections ask it until they stop
    EngineOwner transfer;
    EngineOwner mail;
    RequestTable requests;
};

}  // namespace orvane
