#!/usr/bin/python3
"""Writes the Vitale card the demo's stand-in reader shows.

    demo-card.py OUT.xml [--today YYYY-MM-DD]

The card holds two beneficiaries of the simulator's seed: the demo patient
(MARTIN-DURAND Zoé, whose record grants access and holds documents of
several kinds) and a child of hers (PETIT Léa). Their birth dates follow the
seed's relative dates for the same day as the simulator's, so the card
always matches the records the simulator serves. The file is written
through a temporary file and a rename.
"""
import argparse
import datetime
import os
import sys
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "sim"))
from simkit.seed import Seed  # noqa: E402

DEMO_PATIENTS = ("martin", "petit")


def beneficiary(seed, patient, address):
    ins = patient["ins"]
    fields = [
        ("nomUsuel", patient["usage_name"] or patient["birth_name"]),
        ("nomPatronymique", patient["birth_name"]),
        ("prenomUsuel", patient["given"][0]),
    ]
    lines = ["      <T_AsnBeneficiaire>", "        <ident>"]
    lines += ["          <%s>%s</%s>" % (n, escape(v), n) for n, v in fields]
    birth = seed.when(patient["birth"]).strftime("%d%m%Y")
    lines.append("          <naissance><date>%s</date></naissance>" % birth)
    lines.append("          <nir>%s</nir>" % ins[:13])
    lines.append("          <rangDeNaissance>1</rangDeNaissance>")
    lines.append("          <nirCertifie>%s</nirCertifie>" % ins)
    lines.append("          <adresse>")
    lines += ["            <ligne%d>%s</ligne%d>" % (i, escape(v), i) for i, v in address]
    lines += ["          </adresse>", "        </ident>", "      </T_AsnBeneficiaire>"]
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--today", help="the simulator's day (default: today)")
    args = parser.parse_args()
    today = datetime.date.fromisoformat(args.today) if args.today else datetime.date.today()
    seed = Seed(os.path.join(HERE, "..", "tests", "sim", "seed", "seed.json"), today)
    address = [(2, "12 rue des Lilas"), (5, "75012 PARIS")]
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<vitale>",
             "  <tech><numSerie>0000000001</numSerie></tech>",
             "  <T_AsnDonneesVitale>", "    <listeBenef>"]
    for key in DEMO_PATIENTS:
        lines += beneficiary(seed, next(p for p in seed.patients if p["key"] == key), address)
    lines += ["    </listeBenef>", "  </T_AsnDonneesVitale>", "</vitale>", ""]
    temporary = args.out + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    os.replace(temporary, args.out)


if __name__ == "__main__":
    main()
