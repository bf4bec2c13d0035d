"""fail2ban's own code over journal entries, as its systemd backend runs it.

Run with the system's Python (fail2ban and its journal reader live there):
    /usr/bin/python3 fail2ban_journal.py CONFIG_DIR FILTER < entries.json
CONFIG_DIR holds filter.d/FILTER.conf. The filter is read as fail2ban's
client reads it and handed to the systemd backend's filter (FilterSystemd)
as fail2ban's server is told it. Each entry (a JSON object of journal fields,
the journal's own "_" fields included) is selected or not by the filter's
journal matches, with the journal's rules (sd_journal_add_match: values of
one field are alternatives, different fields must all hold, "+" separates
alternatives); each entry's line is formed as the backend forms it and
searched for a failure. Prints a JSON object: "selected", the indexes of the
entries the journal matches select; "found", [index, address] for every
failure found in a selected entry; "regex_alone", the same for every entry,
selected or not (what the filter would find without its journal matches).
"""

import datetime
import json
import sys

from fail2ban.client.filterreader import FilterReader
from fail2ban.server.filtersystemd import FilterSystemd


def load_filter(config_dir, name):
    reader = FilterReader(name, "skerrow", {}, basedir=config_dir)
    if not reader.read():
        raise SystemExit("cannot read filter %s in %s" % (name, config_dir))
    reader.getOptions({})
    journal_filter = FilterSystemd(None)
    for command in reader.convert():
        option, value = command[2], command[3:]
        if option == "addfailregex":
            for regex in (value[0] if command[0] == "multi-set" else value):
                journal_filter.addFailRegex(regex)
        elif option == "addjournalmatch":
            journal_filter.addJournalMatch(value)
        elif option == "addignoreregex":
            for regex in (value[0] if command[0] == "multi-set" else value):
                journal_filter.addIgnoreRegex(regex)
    return journal_filter


def selected(matches, entry):
    """The journal's selection: any group whose every field has one of its values."""
    if not matches:
        return True
    for group in matches:
        fields = {}
        for term in group:
            field, value = term.split("=", 1)
            fields.setdefault(field, set()).add(value)
        if all(str(entry.get(field)) in values for field, values in fields.items()):
            return True
    return False


def failures(journal_filter, entry):
    line, date = journal_filter.formatJournalEntry(entry)
    return [str(found[1]) for found in journal_filter.processLine(line, date)]


def main():
    journal_filter = load_filter(sys.argv[1], sys.argv[2])
    matches = journal_filter.getJournalMatch()
    result = {"selected": [], "found": [], "regex_alone": []}
    now = datetime.datetime.now()
    for index, fields in enumerate(json.load(sys.stdin)):
        entry = dict(fields)
        # As the journal reader hands them over: numbers and times converted.
        if "_PID" in entry:
            entry["_PID"] = int(entry["_PID"])
        entry["__REALTIME_TIMESTAMP"] = now
        addresses = failures(journal_filter, entry)
        result["regex_alone"] += [[index, address] for address in addresses]
        if selected(matches, entry):
            result["selected"].append(index)
            result["found"] += [[index, address] for address in addresses]
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
