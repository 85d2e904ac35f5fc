// The local-action macros: the local forms of the both-sided macros, local files and programs,
// system values, the script file slot and the pattern macros. Each hands its resolved parameters
// to its action in client/actions and completes with the action's result.
#include "client/actions/local_copy.h"
#include "client/actions/local_folder.h"
#include "client/actions/pattern_actions.h"
#include "client/actions/program_actions.h"
#include "client/actions/registry_file.h"
#include "client/actions/system_actions.h"
#include "client/actions/timestamp.h"
#include "client/script/interpreter.h"
#include "client/script/macro_actions.h"
#include "client/script/script_keywords.h"

namespace orvane::script {
namespace {

bool is_local(MacroCall& call) {
    return call.arguments[0].keyword == kKwLocal;
}

const std::string& text(MacroCall& call, size_t i) {
    return call.arguments[i].text;
}

// False (and the statement failed) when the run may not change the machine.
bool effects_refused(MacroCall& call) {
    if (call.context.local_effects) return false;
    call.interpreter.complete(1);
    return true;
}

// Completes with the result and files it as fileresult.
void complete_file(MacroCall& call, int result) {
    call.interpreter.registers().file = result;
    call.interpreter.complete(result);
}

}  // namespace

void action_ftpsetpath(MacroCall& call) {
    if (!is_local(call)) return remote_ftpsetpath(call);
    int r = local_set_path(call.context.local_folder, text(call, 1));
    if (r == 0 && call.context.session) call.context.session->local_folder = call.context.local_folder;
    call.interpreter.complete(r);
}

void action_ftpgetlist(MacroCall& call) {
    if (!is_local(call)) return remote_ftpgetlist(call);
    UserList& list = *call.arguments[1].list;
    list.entries.clear();
    std::vector<LocalEntry> entries;
    int r = local_get_list(call.context.local_folder, entries);
    for (LocalEntry& e : entries)
        list.entries.push_back(
            ListEntry{std::move(e.name), std::move(e.modification_time), std::move(e.size), e.is_folder});
    call.interpreter.complete(r);
}

void action_ftpmakefolder(MacroCall& call) {
    if (!is_local(call)) return remote_ftpmakefolder(call);
    if (effects_refused(call)) return;
    call.interpreter.complete(local_make_folder(call.context.local_folder, text(call, 1)));
}

void action_ftpdelete(MacroCall& call) {
    if (!is_local(call)) return remote_ftpdelete(call);
    if (effects_refused(call)) return;
    bool folder = call.arguments[1].keyword == kKwFolder;
    call.interpreter.complete(local_delete(call.context.local_folder, folder, text(call, 2)));
}

void action_ftprename(MacroCall& call) {
    if (!is_local(call)) return remote_ftprename(call);
    if (effects_refused(call)) return;
    call.interpreter.complete(local_rename(call.context.local_folder, text(call, 1), text(call, 2)));
}

void action_ftpmovelocal(MacroCall& call) {
    if (effects_refused(call)) return;
    call.interpreter.complete(
        local_transfer(LocalTransfer::kMove, call.context.local_folder, text(call, 0), text(call, 1)));
}

void action_ftpcopylocal(MacroCall& call) {
    if (effects_refused(call)) return;
    call.interpreter.complete(
        local_transfer(LocalTransfer::kCopy, call.context.local_folder, text(call, 0), text(call, 1)));
}

void action_ftprunprogram(MacroCall& call) {
    if (effects_refused(call)) return;
    call.interpreter.complete(run_program_action(call.context.local_folder, text(call, 0), text(call, 1)));
}

void action_rungpg(MacroCall& call) {
    if (effects_refused(call)) return;
    call.interpreter.complete(run_gpg_action(text(call, 0), text(call, 1)));
}

void action_messagebox(MacroCall& call) {
    if (effects_refused(call)) return;
    message_box(text(call, 0), false);
    call.interpreter.complete(0);
}

void action_messageboxwarn(MacroCall& call) {
    if (effects_refused(call)) return;
    message_box(text(call, 0), true);
    call.interpreter.complete(0);
}

void action_waitsecs(MacroCall& call) {
    if (effects_refused(call)) return;
    wait_seconds(call.arguments[0].number);
    call.interpreter.complete(0);
}

void action_gettimestamp(MacroCall& call) {
    Arguments& a = call.arguments;
    bool shifted = a[1].present;
    TimeUnit unit = shifted ? static_cast<TimeUnit>(a[2].keyword - kKwSecond) : TimeUnit::kSecond;
    assign_to(a[0], local_timestamp(a[1].keyword == kKwIncr, unit, shifted ? a[3].number : 0));
    call.interpreter.complete(0);
}

void action_getcompname(MacroCall& call) {
    assign_to(call.arguments[0], computer_name_text());
    call.interpreter.complete(0);
}

void action_getenvvar(MacroCall& call) {
    assign_to(call.arguments[0], environment_text(text(call, 1)));
    call.interpreter.complete(0);
}

void action_readwinregistry(MacroCall& call) {
    std::string value;
    int r = read_registry_value(text(call, 0), text(call, 1), text(call, 2), value);
    assign_to(call.arguments[3], value);
    call.interpreter.complete(r);
}

void action_fileopen(MacroCall& call) {
    if (effects_refused(call)) return;
    int mode = call.arguments[0].keyword;
    ScriptFileMode m = mode == kKwRead     ? ScriptFileMode::kRead
                       : mode == kKwAppend ? ScriptFileMode::kAppend
                                           : ScriptFileMode::kWrite;
    complete_file(call, call.context.file.open(m, text(call, 1)));
}

void action_fileclose(MacroCall& call) {
    call.context.file.close();
    complete_file(call, 0);
}

void action_filereadline(MacroCall& call) {
    std::string line;
    int r = call.context.file.read_line(line);
    assign_to(call.arguments[0], line);
    complete_file(call, r);
}

void action_filewriteline(MacroCall& call) {
    if (effects_refused(call)) return;
    complete_file(call, call.context.file.write_line(text(call, 0)));
}

void action_ftpregexmatch(MacroCall& call) {
    call.interpreter.complete(regex_match_action(text(call, 0), text(call, 1), text(call, 2)));
}

void action_ftpglobmatch(MacroCall& call) {
    call.interpreter.complete(wildcard_match_action(text(call, 0), text(call, 1), text(call, 2)));
}

void action_regexreplace(MacroCall& call) {
    call.interpreter.complete(
        regex_replace_action(*call.arguments[0].variable, text(call, 1), text(call, 2), text(call, 3)));
}

}  // namespace orvane::script
