"""Physical presence through the console in real time: the operator watches the blue
location LED (its register writes in the event log), counts the blinks and types the count."""
import re

import pexpect

from simboard import boot, events, run_sim

LED = re.compile(r"reg=0x11 val=0x([0-9a-f]{2})")


def blinks(board):
    """Writes that turn the location LED on (bits 6 and 7 clear) since the test began."""
    values = [int(m.group(1), 16) for kind, text in events(board, "led")
              if (m := LED.fullmatch(text))]
    return sum(1 for value in values if value & 0xC0 == 0)


def test_counted_blinks_establish_physical_presence(board):
    run_sim("env", board, "diagnostics=rescue")
    child = boot(board)  # real time: one attempt lasts 22 seconds whatever the count
    child.expect(r"Option\? : ")
    child.send("P")
    child.expect_exact("Do you wish to continue y/N? ")
    child.send("y")
    child.expect_exact("The blue location LED will blink a number of times.")
    child.send(" ")
    child.expect_exact("How many times did the LED blink? ", timeout=40)
    count = blinks(board)
    assert 1 <= count <= 14
    child.send(f"{count}\r")
    child.expect_exact("Correct. Physical presence established and low security mode enabled")
    child.expect(r"Option\? : ")
    child.send("\x1dq")
    child.expect(pexpect.EOF)
