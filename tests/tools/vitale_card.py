"""The beneficiaries of card XML files as Python's xml.etree reads them (dates
through datetime, judged on 15 June 2025), one line a beneficiary after a
"card SERIAL" line per file; the reference for the card reader's tests.

    vitale_card.py CARD.xml...

Fields: usage name|birth name|first name|birth date dd/mm/yyyy|INS date|
insured number|rank|quality|address 1|address 2|postcode|town|doctor."""

import calendar, datetime, re, sys
import xml.etree.ElementTree as ET
TODAY = datetime.date(2025, 6, 15)

def lenient(year, month, day):
    if day == 0 or month == 0:
        return None
    month = min(month, 12)
    return datetime.date(year, month, min(day, calendar.monthrange(year, month)[1]))

def short_date(t):
    if not re.fullmatch(r'[0-9]{6}', t):
        return None
    yy, mm, dd = int(t[:2]), int(t[2:4]), int(t[4:])
    d = lenient(2000 + yy, mm, dd)
    return lenient(1900 + yy, mm, dd) if d and d > TODAY else d

def text(node, path):
    found = node.find(path) if node is not None else None
    return (found.text or '').strip(''.join(map(chr, range(33)))) if found is not None else ''

def number(t, default):
    return int(t) if re.fullmatch(r'-?[0-9]+', t) else default

for name in sys.argv[1:]:
    raw = open(name, 'rb').read()
    try:
        doc = raw.decode('utf-8')
    except UnicodeDecodeError:
        doc = raw.decode('cp1252')
    root = ET.fromstring(re.sub(r'^<\?xml[^>]*\?>', '', doc))
    print('card', text(root, 'tech/numSerie'))
    lst = root.find('T_AsnDonneesVitale/listeBenef')
    if lst is None:
        lst = root.find('t_AsnDonneesVitale/listeBenef')
    for b in (lst if lst is not None else []):
        if b.tag not in ('T_AsnBeneficiaire', 'element'):
            continue
        i = b.find('ident')
        card = text(i, 'naissance/dateEnCarte')
        full = text(i, 'naissance/date')
        birth = short_date(card)
        if i is not None and i.find('naissance/date') is not None:
            birth = lenient(int(full[4:]), int(full[2:4]), int(full[:2])) if re.fullmatch(r'[0-9]{8}', full) else None
        lines = [text(i, 'adresse/ligne%d' % n) for n in range(1, 6)]
        l12, l34 = ' '.join(lines[:2]).strip(), ' '.join(lines[2:4]).strip()
        post, _, town = lines[4].partition(' ')
        if len(full) == 8:
            ins = '%s-%s-%s' % (full[4:], full[2:4], full[:2])
        elif len(card) == 6:
            ins = '%s%s-%s-%s' % ('19' if birth is None or birth.year < 2000 else '20', card[:2], card[2:4], card[4:])
        else:
            ins = ''
        print('|'.join([text(i, 'nomUsuel'), text(i, 'nomPatronymique'), text(i, 'prenomUsuel'),
                        birth.strftime('%d/%m/%Y') if birth else '', ins, text(i, 'nir'),
                        str(number(text(i, 'rangDeNaissance'), 0)), str(number(text(b, 'amo/qualBenef'), -1)),
                        l12 or l34, l34 if l12 else '', post if ' ' in lines[4] else '',
                        town if ' ' in lines[4] else lines[4], text(b, 'amo/medecinTraitant')]))
