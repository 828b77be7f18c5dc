"""The maker's time service "microtime" on the public site: GET /microtime
answers the seconds since 1970 with a fraction, as text. Variants:
"offset" (one hour ahead), "junk" (not a number), "slow" (answers after
3 seconds, past the program's 2-second limit)."""

import time

from simkit.service import Answer, Service


def now(offset=0.0):
    return Answer(200, ("%.6f" % (time.time() + offset)).encode(), "text/plain; charset=utf-8")


def slow(request, sim):
    time.sleep(3)
    return now()


SERVICE = Service("microtime", "public", ["/microtime"], lambda request, sim: now(), variants={
    "offset": lambda request, sim: now(3600.0),
    "junk": lambda request, sim: Answer(200, b"pas une heure", "text/plain; charset=utf-8"),
    "slow": slow,
})
