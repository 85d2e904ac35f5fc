// The SMTP connection step: carries a connection's events to the SMTP engine and does what the
// engine asks (connect, switch to TLS, send, close).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "client/transfer/net/connection.h"
#include "client/transfer/smtp/smtp_client.h"

namespace orvane {

// A delivery's engine and what the step keeps of the connection's I/O; the connection's step-state
// context points here.
struct SmtpLink {
    explicit SmtpLink(SmtpDelivery& delivery) : d(delivery), engine(delivery) {}
    SmtpLink(const SmtpLink&) = delete;
    SmtpLink& operator=(const SmtpLink&) = delete;

    SmtpDelivery& d;
    SmtpEngine engine;
    uint64_t fed = 0;           // bytes given to the engine
    uint64_t receive_mark = 0;  // `fed` when the running receive started
    bool receiving = false;
    std::string out;  // the bytes being sent
    size_t out_offset = 0;
};

// The step of every phase: connects first when the delivery's first command is the greeting,
// otherwise starts the engine on the open connection; then follows it until the phase ends.
void smtp_step(Connection& c);
// The connection's handlers: received bytes go to the engine, bytes to send come from the link.
int smtp_receive(Connection& c, const uint8_t* data, size_t n);
int smtp_send(Connection& c, uint8_t* buffer, size_t* length, size_t capacity);

}  // namespace orvane
