"""tools/explain: an exit code and its detail, or the three client-state
values, in plain words (the tables: codes.py, details.py, errors.py)."""
import argparse
import json
import textwrap

from .codes import (CODES, INTERNAL_STATUS, NOT_RECORDED, SETUP_RECORDED, SUCCESS_RECORD_BASE,
                    SUCCESS_RECORD_MOST, attribute_words)
from .details import explain_detail
from .errors import EXCEPTION_CODES, HRESULT_WIN32, windows_error

PROG = "tools/explain"
EXCEPTION_SEVERITY = 0xC0000000
WIDTH = 100


def number(text):
    """A DWORD given in decimal, as 0x... hex, or negative (as some tools
    show a REG_DWORD); None for "-" (a value that is not there)."""
    if text == "-":
        return None
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number (decimal, 0x hex, or -)")
    if not -(1 << 31) <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"{text} does not fit 32 bits")
    return value & 0xFFFFFFFF


def describe_detail(code, detail, kind):
    entry = {"value": detail, "hex": f"0x{detail:08X}", "kind": kind, "name": None,
             "text": None}
    if kind == "attributes":
        words = attribute_words(detail)
        entry["text"] = ("nothing is at setup's path (INVALID_FILE_ATTRIBUTES)" if words is None
                         else "setup's path is there, with the attributes "
                         + (", ".join(words) or "none"))
        return entry
    if detail == 0:
        entry["text"] = "always 0 for this code" if kind == "zero" else "no error recorded"
        return entry
    entry["name"], entry["text"] = windows_error(detail)
    if detail & 0xFFFF0000 == HRESULT_WIN32:
        entry["text"] = (f"the HRESULT of Windows error {detail & 0xFFFF}"
                         + (f": {entry['text']}" if entry["text"] else ""))
    return entry


def explain_setup_code(code, detail):
    if code >= EXCEPTION_SEVERITY:
        name, text = EXCEPTION_CODES.get(code, (None, "an exception"))
        return {"name": name, "source": "exception", "stage": "setup's run, or the installer's",
                "meaning": f"a process ended by {text}"
                           + (f" ({name})" if name else "") + ": setup, whose code the installer "
                           "passes on, or the installer itself (a crash inside the cabinet "
                           "library ends it so)",
                "causes": ["a crash of setup (its own logs and Windows Error Reporting tell "
                           "more), or of the installer, which then records nothing"],
                "recorded": SETUP_RECORDED + " when setup crashed; nothing when the "
                            "installer did"}
    meaning = "setup ran and exited with this code: what it means is setup's own"
    if code in INTERNAL_STATUS:
        meaning += (f" ({code} is also {INTERNAL_STATUS[code]}, an internal status of the "
                    "installer's registry code that is never its exit code)")
    causes = ["see setup's own documentation and logs"]
    if detail:
        causes.append("setup's own codes are recorded with detail 0: a detail that is not 0 "
                      "does not belong to this code")
    return {"name": None, "source": "setup", "stage": "setup's own run", "meaning": meaning,
            "causes": causes, "recorded": SETUP_RECORDED}


def explain(code, detail=None):
    """What exit code and detail say (the JSON form)."""
    known = CODES.get(code)
    result = {"exit_code": code, "hex": f"0x{code:08X}"}
    if known is None:
        result.update(explain_setup_code(code, detail))
        result["detail"] = describe_detail(code, detail, "error") if detail else None
        result["explanation"] = result["meaning"]
        return result
    result.update({"name": known.name, "source": "installer", "stage": known.stage,
                   "meaning": known.meaning, "recorded": known.recorded})
    result["detail"] = describe_detail(code, detail, known.detail) if detail is not None else None
    story = explain_detail(code, detail) if detail is not None else None
    if story is not None:
        result["explanation"], result["causes"] = story[0], list(story[1])
    else:
        result["explanation"], result["causes"] = known.meaning, list(known.causes)
        if code == 124 and detail:
            win32 = detail & 0xFFFF if detail & 0xFFFF0000 == HRESULT_WIN32 else detail
            error = result["detail"]["name"] or f"error {win32}"
            result["explanation"] = f"CreateProcessW refused setup.exe with {error}."
    if detail is not None and detail != 0 and known.detail == "zero":
        result["causes"].append("this code is recorded with detail 0: a detail that is not 0 "
                                "does not belong to it")
    if code != 0 and not detail:
        if detail == 0 and known.detail == "error" and code != 109:
            result["causes"].insert(0, f"with detail 0 this is most likely setup's own exit "
                                    f"code {code}: the installer records {code} with the "
                                    "error of the failed call")
        else:
            result["causes"].append(f"setup's own exit code {code} reads the same (setup's "
                                    "codes are recorded with detail 0): only setup knows "
                                    "whether it exited with it")
    return result


def from_client_state(installer_result, installer_error, extra):
    """What the three values of the client-state key say."""
    state = {"InstallerResult": installer_result, "InstallerError": installer_error,
             "InstallerExtraCode1": extra}
    success = extra is not None and SUCCESS_RECORD_BASE <= extra <= SUCCESS_RECORD_MOST
    notes = []
    if installer_result:
        if installer_error is None:
            return {"client_state": state, "record": "unknown", "notes": [
                "InstallerResult records a failure, but InstallerError is not there: not a "
                "record this installer writes (it writes all three at once)"]}
        result = explain(installer_error, extra if extra is not None else 0)
        record = "failure"
        known = CODES.get(installer_error)
        if known is not None and known.recorded == NOT_RECORDED:
            # The installer never writes this code: setup exited with it.
            result.update(explain_setup_code(installer_error, extra))
            result["explanation"] = result["meaning"]
            notes.append(f"the installer never records {installer_error} ({known.name}): its "
                         "run ends before the key is written, so this record is setup's own "
                         "exit code")
        if success:
            notes.append("InstallerExtraCode1 holds a success record: a later run succeeded "
                         "after this failure was recorded (a success writes only "
                         "InstallerExtraCode1; a recorded failure stays until the updater "
                         "clears it), so the failure's own detail is lost")
    elif success:
        result, record = explain(0, 0), "success"
        attempts = extra - SUCCESS_RECORD_BASE + 1
        notes.append("every removal succeeded at its first attempt" if attempts == 1 else
                     f"the slowest removal needed {attempts} attempts, 100 ms apart: a "
                     "scanner or another process held a file of the work directory for a "
                     "while")
    else:
        what = ("nothing is recorded: no run that made its work directory has ended since "
                "the updater made or cleared the key (a run that ends before, such as 101, "
                "108 for a folder too long, 109, 117 or 118, records nothing)")
        if extra is not None:
            what = (f"InstallerExtraCode1 holds 0x{extra:X} without a failure recorded: not a "
                    "value this installer writes alone")
        return {"client_state": state, "record": "none" if extra is None else "unknown",
                "notes": [what]}
    result.update({"client_state": state, "record": record, "notes": notes})
    return result


def render(result):
    wrap = lambda label, text: textwrap.fill(text, WIDTH, initial_indent=f"  {label:<12}",
                                             subsequent_indent=" " * 14)
    lines = []
    if "exit_code" in result:
        who = {"installer": "the installer's own code", "setup": "setup's own code",
               "exception": "an exception code"}[result["source"]]
        name = f" {result['name']}" if result["name"] else ""
        lines.append(f"{result['exit_code']} ({result['hex']}){name}: {who}")
        lines.append(wrap("stage", result["stage"]))
        detail = result["detail"]
        if detail is not None:
            named = f" {detail['name']}" if detail["name"] else ""
            said = f": {detail['text']}" if detail["text"] else ""
            lines.append(wrap("detail", f"{detail['value']} ({detail['hex']}){named}{said}"))
        lines.append(wrap("happened", result["explanation"]))
        for index, cause in enumerate(result["causes"]):
            lines.append(textwrap.fill(cause, WIDTH, initial_indent=(
                "  usually     - " if index == 0 else " " * 14 + "- "),
                subsequent_indent=" " * 16))
        lines.append(wrap("recorded", result["recorded"]))
    if "client_state" in result:
        values = ", ".join(f"{k} {'absent' if v is None else f'0x{v:X}'}"
                           for k, v in result["client_state"].items())
        lines.append(wrap("key", f"{values}: {result['record']}"))
        lines += [wrap("note", note) for note in result["notes"]]
    return "\n".join(lines)


def main(argv):
    p = argparse.ArgumentParser(prog=PROG, description="Says in plain words what an "
                                "installer's exit code and detail, or its client-state "
                                "record, mean, and what usually causes them.")
    p.add_argument("values", nargs="+", type=number, metavar="VALUE",
                   help="CODE [DETAIL]; with --client-state: InstallerResult InstallerError "
                   "InstallerExtraCode1 (- for a value that is not there)")
    p.add_argument("--client-state", action="store_true",
                   help="the values are the client-state key's three values")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    args = p.parse_args(argv)
    if args.client_state:
        if len(args.values) != 3:
            p.error("--client-state takes three values: InstallerResult InstallerError "
                    "InstallerExtraCode1")
        result = from_client_state(*args.values)
    else:
        if len(args.values) > 2 or args.values[0] is None:
            p.error("give CODE [DETAIL]")
        result = explain(*args.values)
    if args.json:
        print(json.dumps(result, indent=2))
    else:
        print(render(result))
    return 0
