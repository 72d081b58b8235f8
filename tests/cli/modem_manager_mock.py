"""A stand-in ModemManager for the tests: a python-dbusmock template (--template PATH).

It serves org.freedesktop.ModemManager1.InhibitDevice(s uid, b inhibit) on the bus it is
started on and appends one line per call to the file named by the "record" parameter:
    inhibit|release UID EXCHANGES
EXCHANGES is the number of byte records (IN and OUT lines) in the simulated modem's transcript
(parameter "transcript") at the moment of the call, -1 when it does not exist: it shows
whether any byte had passed between host and modem yet, and whether the last had. With "refuse": true every call is refused the way
ModemManager refuses a caller without the right permission.
"""

BUS_NAME = 'org.freedesktop.ModemManager1'
MAIN_OBJ = '/org/freedesktop/ModemManager1'
MAIN_IFACE = 'org.freedesktop.ModemManager1'
SYSTEM_BUS = True

INHIBIT = '''
import os
import dbus
path = self.mm_transcript
size = -1
if path and os.path.exists(path):
    with open(path) as transcript:
        size = sum(1 for line in transcript if line.split()[1:2] in (['IN'], ['OUT']))
with open(self.mm_record, 'a') as record:
    record.write('%s %s %d\\n' % ('inhibit' if args[1] else 'release', args[0], size))
if self.mm_refuse:
    raise dbus.exceptions.DBusException(
        'Not authorized to control the device',
        name='org.freedesktop.ModemManager1.Error.Core.Unauthorized')
'''


def load(mock, parameters):
    mock.mm_record = parameters['record']
    mock.mm_transcript = parameters.get('transcript', '')
    mock.mm_refuse = parameters.get('refuse', False)
    mock.AddMethod(MAIN_IFACE, 'InhibitDevice', 'sb', '', INHIBIT)
    with open(parameters['record'] + '.ready', 'w') as ready:
        ready.write('ready\n')
