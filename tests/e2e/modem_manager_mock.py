"""A ModemManager for the tests, as a python-dbusmock template: it owns
ModemManager's name on the bus, lists the modems it is given (each a Device
path) with ModemManager's object manager, and answers InhibitDevice. Each
InhibitDevice call is appended to a JSON Lines file with what the watched
files (the simulator's log, the updater's standard output) held at that
moment, which tells what the updater had done by then without comparing
clocks. With "fail" it refuses every call, as a ModemManager that cannot
inhibit the device does; with "hang" it answers a call only after that many
seconds, as a ModemManager stuck in its work does.

Parameters (JSON): devices (list of Device paths), calls (file), watch (list
of files), fail (bool), hang (seconds).
"""
import json
import pathlib
import time

import dbus
import dbus.service

BUS_NAME = "org.freedesktop.ModemManager1"
MAIN_OBJ = "/org/freedesktop/ModemManager1"
MAIN_IFACE = "org.freedesktop.ModemManager1"
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

MODEM_IFACE = "org.freedesktop.ModemManager1.Modem"
SIM_IFACE = "org.freedesktop.ModemManager1.Sim"


def load(mock, parameters):
    mock.zntv_parameters = parameters
    for number, device in enumerate(parameters["devices"]):
        mock.AddObject(f"{MAIN_OBJ}/Modem/{number}", MODEM_IFACE,
                       {"Device": dbus.String(device), "Manufacturer": dbus.String("zntv tests"),
                        "Ports": dbus.Array([], signature="(su)")}, [])
    # An object that is no modem, as a real one lists beside its modems.
    mock.AddObject(f"{MAIN_OBJ}/SIM/0", SIM_IFACE, {"Imsi": dbus.String("001010000000000")}, [])


def _read(path):
    file = pathlib.Path(path)
    return file.read_text(errors="replace") if file.exists() else ""


@dbus.service.method(MAIN_IFACE, in_signature="sb", out_signature="")
def InhibitDevice(self, uid, inhibit):
    parameters = self.zntv_parameters
    seen = {path: _read(path) for path in parameters["watch"]}
    with open(parameters["calls"], "a", encoding="utf-8") as calls:
        calls.write(json.dumps({"uid": str(uid), "inhibit": bool(inhibit), "seen": seen}) + "\n")
    time.sleep(parameters.get("hang", 0))
    if parameters.get("fail"):
        # With a terminal control sequence, which the updater must not pass on.
        raise dbus.exceptions.DBusException("the device cannot be inhibited now\x1b[2J",
                                            name="org.freedesktop.ModemManager1.Error.Core.Failed")
