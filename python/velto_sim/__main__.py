"""Command-line tools of the simulated engine: ``python -m velto_sim peer --channel NAME ...``."""

import sys

USAGE = """usage: python -m velto_sim peer --channel NAME [--uid N] [--audio FILE] [--video FILE]
                                 [--seconds S] [--loop] [--scripted-users] [--stats]

commands:
  peer    join a simulated call as one participant and print what it sees
          (python -m velto_sim peer --help)"""


def main(argv: list) -> int:
    if argv[:1] == ["peer"]:
        from velto_sim.peer import main as peer
        return peer(argv[1:])
    print(USAGE, file=sys.stderr if argv[:1] not in (["-h"], ["--help"]) else sys.stdout)
    return 0 if argv[:1] in (["-h"], ["--help"]) else 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
