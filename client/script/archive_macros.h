// The archive macros, ftpcompress and ftpuncompress: thin glue from the parameters to the archive
// actions and back to the statement's completion.
#pragma once

#include "client/script/macro_table.h"

namespace orvane::script {

void action_ftpcompress(MacroCall& call);
void action_ftpuncompress(MacroCall& call);

}  // namespace orvane::script
