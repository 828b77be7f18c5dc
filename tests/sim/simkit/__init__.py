"""The service simulator's machinery: listeners, request checks, scenario
rules, the request log and the seed. The services themselves live in
tests/sim/services/, one module each."""
