// The FTP kinds' Transfer list and Delete list handlers: the folder walks with the FTP steps.
#pragma once

#include "client/transfer/session/session.h"

namespace orvane {

void ftp_transfer_list(Session& s);
void ftp_delete_walk(Session& s);

}  // namespace orvane
