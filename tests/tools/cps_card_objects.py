#!/usr/bin/python3
"""cps_card_objects.py PROFILE.json OUT-DIR [TODAY]

Writes what make-cps-token.sh puts on a training CPS card, from a profile of
tests/fixtures/cps/ (standard library only):

  OUT-DIR/objects/NAME.der   each data object as the card has it: one outer
                             constructed tag (E3, E4, ED, EE, E0, of the
                             private class) holding context-specific
                             primitive fields (0x80...)
  OUT-DIR/objects.txt        "public NAME" or "private NAME", one a line
  OUT-DIR/settings.sh        shell assignments: token label, PINs, the
                             certificates' subject, string mask and dates

Field encodings: "bcd" packed digits with a final F nibble for an odd count,
"byte" one unsigned byte, "text" Windows-1252. The card's start and end of
validity come from the profile's "validity" ("start"/"end": "today",
"yesterday", or eight digits written as they are, valid date or not);
by default one year ago and two years ahead. TODAY (YYYY-MM-DD) replaces the
current date, for reproducible output.
"""
import datetime
import json
import pathlib
import shlex
import sys

# Outer tag and field layout of each object: profile key -> (tag, encoding).
LAYOUTS = {
    "CPS_ID_CARD": (0xE3, {"issuer": (0x80, "bcd"), "number": (0x81, "bcd"), "category": (0x82, "byte"),
                           "start": (0x83, "bcd"), "end": (0x84, "bcd")}),
    "CPS_NAME_PS": (0xE4, {"civility": (0x80, "byte"), "birth_name": (0x81, "text"),
                           "first_name": (0x84, "text")}),
    "CPS_INFO_PS": (0xED, {"card_type": (0x80, "byte"), "national_id": (0x81, "text"),
                           "profession": (0x82, "byte"), "name": (0x84, "text"), "speciality": (0x85, "text")}),
    "CPS_ACTIVITY": (0xEE, {"status": (0x81, "byte"), "pharmacist_section": (0x82, "text"),
                            "number": (0x83, "byte"), "structure_name": (0x84, "text"),
                            "structure_id": (0x85, "text"), "facility_type": (0x86, "text")}),
    "SITUATION": (0x30, {"logical_number": (0x80, "bcd"), "billing_number": (0x81, "bcd"),
                         "codes": (0x82, "text"), "approvals": (0x83, "text"),
                         "authorisation": (0x84, "text")}),
}
SIT_FACT_TAG = 0xE0


def der_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, value):
    return bytes([tag]) + der_length(len(value)) + value


def bcd(digits):
    digits = str(digits)
    if not digits.isdigit():
        raise ValueError(f"BCD field needs digits: {digits!r}")
    if len(digits) % 2:
        digits += "F"
    return bytes.fromhex(digits)


def encode(kind, value):
    if kind == "bcd":
        return bcd(value)
    if kind == "byte":
        return bytes([int(value)])
    return str(value).encode("cp1252")


def structure(layout, fields):
    """The fields in profile order; "extra" holds [tag, text] pairs the reader must skip."""
    tag, known = LAYOUTS[layout]
    body = b""
    for key, value in fields.items():
        if key == "extra":
            for extra_tag, text in value:
                body += tlv(int(extra_tag, 0), encode("text", text))
            continue
        field_tag, kind = known[key]
        body += tlv(field_tag, encode(kind, value))
    return tlv(tag, body)


def card_date(value, today):
    if value == "today":
        return today.strftime("%Y%m%d")
    if value == "yesterday":
        return (today - datetime.timedelta(days=1)).strftime("%Y%m%d")
    return str(value)


def certificate_date(card, fallback, time):
    try:
        datetime.datetime.strptime(card, "%Y%m%d")
        return card + time
    except ValueError:
        return fallback + time


def subject_text(pairs):
    def escaped(v):
        return "".join("\\" + c if c in "/+=\\" else c for c in v)
    return "".join(f"/{key}={escaped(value)}" for key, value in pairs)


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit("usage: cps_card_objects.py PROFILE.json OUT-DIR [TODAY]")
    profile_path, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    profile = json.loads(profile_path.read_text(encoding="utf-8"))
    today = datetime.date.fromisoformat(sys.argv[3]) if len(sys.argv) == 4 else datetime.date.today()

    def years(n):
        return today.replace(year=today.year + n, day=min(today.day, 28) if today.month == 2 else today.day)

    validity = profile.get("validity", {})
    start = card_date(validity.get("start", years(-1).strftime("%Y%m%d")), today)
    end = card_date(validity.get("end", years(2).strftime("%Y%m%d")), today)

    objects = [("public", "CPS_ID_CARD", structure("CPS_ID_CARD", {**profile["card"], "start": start, "end": end})),
               ("public", "CPS_NAME_PS", structure("CPS_NAME_PS", profile["holder"])),
               ("public", "CPS_INFO_PS", structure("CPS_INFO_PS", profile["info"]))]
    for number, fields in sorted(profile.get("activities", {}).items()):
        objects.append(("private", f"CPS_ACTIVITY_{int(number):02d}_PS", structure("CPS_ACTIVITY", fields)))
    situations = b"".join(structure("SITUATION", s) for s in profile.get("billing", []))
    objects.append(("private", "CPS_SIT_FACT", tlv(SIT_FACT_TAG, situations)))

    (out / "objects").mkdir(parents=True, exist_ok=True)
    listing = ""
    for visibility, name, der in objects:
        (out / "objects" / f"{name}.der").write_bytes(der)
        listing += f"{visibility} {name}\n"
    (out / "objects.txt").write_text(listing)

    settings = {
        "label": profile.get("token_label", profile_path.stem),
        "pin": profile.get("pin", "1234"),
        "so_pin": profile.get("so_pin", "12345678"),
        "subject": subject_text(profile["subject"]),
        "string_mask": profile.get("string_mask", "utf8only"),
        "cert_start": certificate_date(start, years(-1).strftime("%Y%m%d"), "000000Z"),
        "cert_end": certificate_date(end, years(2).strftime("%Y%m%d"), "235959Z"),
    }
    (out / "settings.sh").write_text("".join(f"{k}={shlex.quote(v)}\n" for k, v in settings.items()))


if __name__ == "__main__":
    main()
