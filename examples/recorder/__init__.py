"""The call recorder behind examples/call_recorder.py, one concern per module:

signals     SIGINT and SIGTERM, caught from the program's first line
options     the command line, and the checks made before the engine starts
capture     the frame processors (pyveltosdk): effects, then each frame offered to its worker
recording   a recording's files and the worker thread with its bounded queue
composite   the grid of users present, with the mixed audio
formats     the output formats; avfile (PyAV: MP4, WebM) and rawfile (WAV, Y4M) write them
snapshot    PNG pictures in the right colours
progress    the progress line
console     standard output and error, which may go away while the call runs
check       files read back after a write failed: what a player finds in each
session     the run itself: the call, finishing, the summary
"""
