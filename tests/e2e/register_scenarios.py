"""Registration scenarios: an installed product's user registers through
the form as a person would; the program keeps the answers, and sends the
profile to the maker's receiver (regserver of the host build), which
decodes and stores it; the fields are read back from its database. When
nothing answers, the user is told, and the shortcut that offers the
registration stays. The Python test server (tests/peers/regserver.py)
stands in only for replies the receiver never gives: the word cut across
two pieces."""
import os
import shutil
import subprocess
import sys
import tempfile

from e2e import Failure, check, contains, copy_log_of_run, in_order, lacks, scenario
from safety_scenarios import check_tree, machine_tree
from uninstall_scenarios import Product, regtool

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "peers"))
import receiver  # noqa: E402
import regserver  # noqa: E402

INSTALLER_KEY = "Software\\Quillon\\Installer"
CAPTION = "Acme Viewer Registration..."
QUESTION = "Would you like to register Acme Viewer now?"
URL = "http://127.0.0.1:9/viewer/register"  # the discard port: nothing listens
LONG_NAME = "F" * 100
STORED = {"First Name": "F" * 79, "Last Name": "Doe", "Address": "12 Harbour Road", "City": "Portsmouth",
          "State": "NH", "Country": "USA", "Zip": "03801", "Email": "jane@example.com", "Phone": "555-123-4567"}


class RegisteredProduct(Product):
    """The test product whose script also offers the registration."""
    url = URL

    def script(self):
        lines = super().script().rstrip("\n").split("\n")
        done = lines.index("DONE:")
        lines[done:done] = ["LISTSERVER: 12 | acme-news | about once a month",
                            "REGISTER: %s | Acme Viewer 2.4 | %s" % (self.url, QUESTION)]
        return "\n".join(lines) + "\n"


def prepare_record(side):
    """An earlier run's record, without an answer to the news question."""
    regtool(side, "delete", "HKCU", INSTALLER_KEY)
    for name, value in STORED.items():
        value = "Jane" if name == "First Name" else value
        check(regtool(side, "set", "HKCU", INSTALLER_KEY, name, value)[0] == 0, "could not set " + name)


def run_host(side, exe_host, args, lines):
    result = subprocess.run(side.command(exe_host, args), env=side.env, input=("\n".join(lines) + "\n").encode(),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    return result.returncode, result.stdout.decode("latin-1")


def register_as_a_person(side, product):
    """Answers the question, is refused twice, fills in what is missing,
    cancels the address confirmation once, confirms it, and gives up when
    the registration cannot be sent. The output of the run."""
    args = ["-Register", "-debug"]
    if side.name == "host":
        return run_host(side, product.host(product.exe), args, [
            "y",
            "show",
            "click 1",                    # no answer yet
            "click 1027",
            "set 1014 " + LONG_NAME,
            "click 1",                    # how the user found the program is missing
            "set 1021 A friend told me",
            "click 1",
            "set 1025 JANE@EXAMPLE.COM",
            "click 2",                    # the form comes back as typed
            "show",
            "click 1",
            "set 1025 joan@example.com",
            "click 1",                    # does not match
            "set 1025 JANE@EXAMPLE.COM",
            "click 1",
            "n",                          # no second try
        ])
    c = CAPTION
    code, reports = side.run(product.host(product.exe), args, answers=[
        (c, "Yes"), (c, "Register Now!"), (c, "OK"), (c, "@1027"), (c + "#1014", LONG_NAME),
        (c, "Register Now!"), (c, "OK"), (c + "#1021", "A friend told me"), (c, "Register Now!"),
        (c + "#1025", "JANE@EXAMPLE.COM"), (c, "Cancel"), (c, "Register Now!"), (c + "#1025", "JANE@EXAMPLE.COM"),
        (c, "OK"), (c, "No"), ("!" + c, "3000")])
    return code, "\n".join(reports)


@scenario
def register_without_network(side):
    product = RegisteredProduct(side, "register").install()
    prepare_record(side)
    shortcut = product.shortcut_folder("Register Viewer.lnk")
    before = machine_tree(side)
    code, output = register_as_a_person(side, product)
    check(code == 0, "exit code %d:\n%s" % (code, output))
    refused = ["You must choose if you wish to receive updates or not.", "All fields must be filled in correctly."]
    gave_up = "There was a problem sending your registration, would you like to try again?"
    if side.name == "host":
        in_order(output, ["[%s] %s" % (CAPTION, QUESTION), "[%s]" % CAPTION, '1014 Edit "Jane"',
                          '1015 Edit "jane@example.com"',
                          '1028 Button "Hey!  I\'m already subscribed, but thanks for asking." [ ] (disabled)',
                          "[%s] %s" % (CAPTION, refused[0]), "[%s] %s" % (CAPTION, refused[1]),
                          '1021 Edit "A friend told me"',
                          "[%s] The email address you entered does not match, please check your email address again"
                          % CAPTION, "[%s] %s" % (CAPTION, gave_up)], "the output")
    else:
        in_order(output, ["caption: " + CAPTION, QUESTION, "pressed: Yes", "Edit 1014: Jane",
                          "Edit 1015: jane@example.com", "pressed: Register Now!", refused[0], "clicked: 1027",
                          refused[1], "pressed: Cancel", "Edit 1021: A friend told me", "pressed: OK", gave_up,
                          "pressed: No", "absent: " + CAPTION], "the driver")
    lacks(output, "successfully sent", "the output")
    _, log = copy_log_of_run(side, product.exe)
    in_order(log, ["Send registration to '%s' (" % URL, "Submission on phase 0\n", "Unable to connect to machine 127.0.0.1:9",
                   "Submission on phase 1\n", "Submission on phase 2\n", "Successful Exit...\n"], "copy log")
    lacks(log, "Not all memory was free'd", "copy log")
    # The answers are kept, bounded by their fields; how the user found the
    # program is not.
    for name, value in STORED.items():
        code, text = regtool(side, "get", "HKCU", INSTALLER_KEY, name)
        check(code == 0 and text == value, "%s is %r" % (name, text))
    check(regtool(side, "get", "HKCU", INSTALLER_KEY, "HowFound")[0] != 0, "HowFound was stored")
    # Nothing was sent: the shortcut stays, and so does everything else.
    check(os.path.exists(shortcut), "the registration shortcut went")
    check_tree(side, before, machine_tree(side))
    product.assert_untouched()
    regtool(side, "delete", "HKCU", INSTALLER_KEY)


@scenario
def register_declined(side):
    """A No to the question shows nothing more and changes nothing; declining
    the form keeps nothing of what was typed."""
    product = RegisteredProduct(side, "register no").install()
    regtool(side, "delete", "HKCU", INSTALLER_KEY)
    before = machine_tree(side)
    if side.name == "host":
        code, output = run_host(side, product.host(product.exe), ["-Register", "-debug"], ["n"])
    else:
        code, reports = side.run(product.host(product.exe), ["-Register", "-debug"],
                                 answers=[(CAPTION, "No"), ("!" + CAPTION, "3000")])
        output = "\n".join(reports)
    check(code == 0, "exit code %d" % code)
    contains(output, QUESTION, "the output")
    lacks(output, "Register Now!", "the output")
    _, log = copy_log_of_run(side, product.exe)
    lacks(log, "Send registration", "copy log")
    check(not product.key_exists("HKCU", INSTALLER_KEY), "the installer key was made")
    check_tree(side, before, machine_tree(side))
    product.assert_untouched()

    # Yes, then "Don't Register": a No to "Are you sure" keeps the form, a
    # Yes ends it; only the empty record of a first registration is left.
    sure = "Are you sure you don't want to register?"
    if side.name == "host":
        code, output = run_host(side, product.host(product.exe), ["-Register", "-debug"],
                                ["y", "set 1014 Jane", "click 2", "n", "show", "click 2", "y"])
    else:
        code, reports = side.run(product.host(product.exe), ["-Register", "-debug"], answers=[
            (CAPTION, "Yes"), (CAPTION + "#1014", "Jane"), (CAPTION, "Don't Register"), (CAPTION, "No"),
            (CAPTION, "Don't Register"), (CAPTION, "Yes"), ("!Please wait...", "2000")])
        output = "\n".join(reports)
    check(code == 0, "exit code %d" % code)
    in_order(output, [QUESTION, "Don't Register", sure, sure], "the output")
    _, log = copy_log_of_run(side, product.exe)
    lacks(log, "Send registration", "copy log")
    for name in STORED:
        code, text = regtool(side, "get", "HKCU", INSTALLER_KEY, name)
        check(code == 0 and text == "", "%s is %r" % (name, text))
    regtool(side, "delete", "HKCU", INSTALLER_KEY)
    check_tree(side, before, machine_tree(side))
    product.assert_untouched()


def host_build(side):
    """The host tree, where regserver is built: the side's own, or the one
    beside a Windows tree."""
    return side.build if side.name == "host" else os.path.join(os.path.dirname(side.build), "host")


def register_by_form(side, product):
    """Yes, no news, how the user found the program, Register Now!, and OK
    to the thanks. The exit code and the output."""
    args = ["-Register", "-debug"]
    if side.name == "host":
        return run_host(side, product.host(product.exe), args,
                        ["y", "click 1026", "set 1021 A friend told me", "click 1", ""])
    c = CAPTION
    code, reports = side.run(product.host(product.exe), args, answers=[
        (c, "Yes"), (c, "@1026"), (c + "#1021", "A friend told me"), (c, "Register Now!"), (c, "OK")])
    return code, "\n".join(reports)


@scenario
def register_sent(side):
    """The form filled in and sent to the maker's receiver: the user is
    thanked, the receiver stored every field the form and the script gave
    in one row, and the shortcut that offered the registration is gone."""
    with tempfile.TemporaryDirectory(prefix="tessel-register-", ignore_cleanup_errors=True) as folder, \
            receiver.Receiver(folder, host_build(side), path="/viewer/register") as server:
        product = RegisteredProduct(side, "register sent")
        product.url = server.url
        product.install()
        prepare_record(side)
        shortcut = product.shortcut_folder("Register Viewer.lnk")
        code, output = register_by_form(side, product)
        check(code == 0, "exit code %d:\n%s" % (code, output))
        contains(output, "Your registration has been successfully sent!  Thank you!", "the output")
        _, log = copy_log_of_run(side, product.exe)
        rows = server.registrations()
        check(len(rows) == 1, "registrations: %r" % rows)
        code, csv = server.run("export", "--csv")
        check(code == 0 and "jane@example.com" in csv, "export: %s" % csv)
    sent = rows[0]
    check(sent["path"] == "/viewer/register", "path %r" % sent["path"])
    check(sent["sender"] == "127.0.0.1", "sender %r" % sent["sender"])
    check(sent["user_agent"].startswith("Quillon Register Uninstall ("), "user agent %r" % sent["user_agent"])
    check(sent["version"] == "1.50", "version %r" % sent["version"])
    expected = {"f000_program": "v1.50 (Release)", "f001_mode": "Standalone", "f002_label": "Acme Viewer 2.4",
                "f100_text": "REG", "f101_company": "Acme", "f102_product": "Viewer", "f103_product_version": "2.4",
                "f200_first_name": "Jane", "f201_last_name": "Doe", "f207_email": "jane@example.com",
                "f209_how_found": "A friend told me", "f400_list_server": "No", "f401_list_number": "12",
                "f402_list_name": "acme-news", "f403_list_text": "about once a month", "other_fields": ""}
    for column, value in expected.items():
        check(sent[column] == value, "%s is %r, not %r" % (column, sent[column], value))
    for column in ("f300_ip_address", "f306_screen_size", "f307_screen_bits", "f310_os", "f311_memory",
                   "f312_paging_file"):
        check(sent[column], "%s missing: %r" % (column, sent))
    in_order(log, ["Submission on phase 0\n", "Successful Exit...\n"], "copy log")
    lacks(log, "Submission on phase 1\n", "copy log")
    check(not os.path.exists(shortcut), "the registration shortcut stayed")
    regtool(side, "delete", "HKCU", INSTALLER_KEY)


@scenario
def register_reply_split(side):
    """A server whose word comes cut across two pieces sent apart (the test
    server imitates it): the registration still counts as sent, and the
    server decoded the fields in the program's order."""
    with tempfile.TemporaryDirectory(prefix="tessel-register-split-", ignore_cleanup_errors=True) as folder, \
            regserver.RegistrationServer(folder, mode="split") as server:
        product = RegisteredProduct(side, "register split")
        product.url = server.url("/viewer/register")
        product.install()
        prepare_record(side)
        code, output = register_by_form(side, product)
        check(code == 0, "exit code %d:\n%s" % (code, output))
        contains(output, "Your registration has been successfully sent!  Thank you!", "the output")
        check(len(server.registrations) == 1, "registrations: %r" % server.requests)
        sent = server.registrations[0]
    check(sent["fields"].get(207) == "jane@example.com", "fields: %r" % sent["fields"])
    check(sent["order"] == sorted(sent["order"]), "fields out of order: %r" % sent["order"])
    regtool(side, "delete", "HKCU", INSTALLER_KEY)
