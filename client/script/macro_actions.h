// The actions of the macro table's rows.
#pragma once

#include "client/script/macro_table.h"

namespace orvane::script {

// Language macros.
void action_print(MacroCall& call);
void action_strprint(MacroCall& call);
void action_strlower(MacroCall& call);
void action_strupper(MacroCall& call);
void action_strslice(MacroCall& call);
void action_setvar(MacroCall& call);
void action_increment(MacroCall& call);
void action_decrement(MacroCall& call);
void action_setexitcode(MacroCall& call);

// Settings macros: they change the script context (and the current session where it applies).
void action_enablepasv(MacroCall& call);
void action_disablepasv(MacroCall& call);
void action_setnlst(MacroCall& call);
void action_unsetnlst(MacroCall& call);
void action_settransfertype(MacroCall& call);
void action_setduperules(MacroCall& call);
void action_pkeyload(MacroCall& call);
void action_certload(MacroCall& call);
void action_proxyhttp(MacroCall& call);

// Mail macros: the message of the context's mail record, and its delivery.
void action_mailcreate(MacroCall& call);
void action_mailattach(MacroCall& call);
void action_mailsend(MacroCall& call);

// A macro whose feature this build does not have: a runtime error naming it, and failure.
void action_not_available(MacroCall& call);

}  // namespace orvane::script
