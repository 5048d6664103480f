"""Runs a command on a pseudo-terminal and answers its passphrase prompts.

    at_terminal.py ANSWER[,ANSWER...] COMMAND [ARGUMENT...]

Each answer is typed once its prompt has shown (a line holding "assphrase"),
never earlier, so what the terminal echoes does not depend on timing. Exits
with the command's exit code, or with a message when an answer was echoed.
"""
import os
import pty
import sys

answers, command = sys.argv[1].split(","), sys.argv[2:]
pid, terminal = pty.fork()
if pid == 0:
    os.execv(command[0], command)

seen = b""


def read_more():
    global seen
    try:
        chunk = os.read(terminal, 4096)
    except OSError:  # the command has ended and closed the terminal
        chunk = b""
    seen += chunk
    return chunk


for typed, answer in enumerate(answers):
    while seen.count(b"assphrase") <= typed and read_more():
        pass
    os.write(terminal, answer.encode() + b"\n")
while read_more():
    pass
status = os.waitpid(pid, 0)[1]
for answer in answers:
    if answer.encode() in seen:
        sys.exit("the passphrase was echoed: " + seen.decode(errors="replace"))
sys.exit(os.waitstatus_to_exitcode(status))
