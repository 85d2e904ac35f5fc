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
void action_setparallel(MacroCall& call);
void action_setduperules(MacroCall& call);
void action_pkeyload(MacroCall& call);
void action_certload(MacroCall& call);
void action_proxyhttp(MacroCall& call);

// Macros that act on a server (connect_macros.cpp, transfer_macros.cpp): each starts requests on
// the script's transfer session and completes the statement from the last one's done callback.
void action_ftpconnect(MacroCall& call);
void action_ftpconnectssh(MacroCall& call);
void action_ftpconnectssl(MacroCall& call);
void action_ftpconnectsslc(MacroCall& call);
void action_ftpdisconnect(MacroCall& call);
void action_ftpcustomcmd(MacroCall& call);
void action_ftpupload(MacroCall& call);
void action_ftpdownload(MacroCall& call);
void action_ftpmodtime(MacroCall& call);
// The remote forms of the macros with a remote and a local form.
void remote_ftpgetlist(MacroCall& call);
void remote_ftpsetpath(MacroCall& call);
void remote_ftpmakefolder(MacroCall& call);
void remote_ftpdelete(MacroCall& call);
void remote_ftprename(MacroCall& call);
// The macros with a remote and a local form (the keyword picks one; local_macros.cpp), local
// files and programs, system values, the script file slot, pattern matching.
void action_ftpsetpath(MacroCall& call);
void action_ftpgetlist(MacroCall& call);
void action_ftpmakefolder(MacroCall& call);
void action_ftpdelete(MacroCall& call);
void action_ftprename(MacroCall& call);
void action_ftpmovelocal(MacroCall& call);
void action_ftpcopylocal(MacroCall& call);
void action_ftprunprogram(MacroCall& call);
void action_rungpg(MacroCall& call);
void action_messagebox(MacroCall& call);
void action_messageboxwarn(MacroCall& call);
void action_waitsecs(MacroCall& call);
void action_gettimestamp(MacroCall& call);
void action_getcompname(MacroCall& call);
void action_getenvvar(MacroCall& call);
void action_readwinregistry(MacroCall& call);
void action_fileopen(MacroCall& call);
void action_fileclose(MacroCall& call);
void action_filereadline(MacroCall& call);
void action_filewriteline(MacroCall& call);
void action_ftpregexmatch(MacroCall& call);
void action_ftpglobmatch(MacroCall& call);  // also ftpwildcardmatch
void action_regexreplace(MacroCall& call);
// Mail macros: the message of the context's mail record, and its delivery.
void action_mailcreate(MacroCall& call);
void action_mailattach(MacroCall& call);
void action_mailsend(MacroCall& call);

// A macro whose feature this build does not have: a runtime error naming it, and failure.
void action_reschedscript(MacroCall& call);

}  // namespace orvane::script
