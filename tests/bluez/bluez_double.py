# -*- coding: utf-8 -*-
'''bluetoothd 5.66 double for the BlueZ backend's tests, a python-dbusmock template:

    /usr/bin/python3 -m dbusmock --system --template tests/bluez/bluez_double.py

On top of dbusmock's bluez5 template it offers LE devices with their advertisement data, remote
GATT services, the GATT and advertising managers of an adapter, and controls on org.bluez.Mock
at "/" through which a test drives it. Object paths, types and error names are bluetoothd's.
'''

import os
import re
import select

import dbus
import dbus.lowlevel
import dbus.service
from gi.repository import GLib

from dbusmock import mockobject
from dbusmock.templates import bluez5

BUS_NAME = bluez5.BUS_NAME
MAIN_OBJ = bluez5.MAIN_OBJ
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

MOCK = 'org.bluez.Mock'
ADAPTER = 'org.bluez.Adapter1'
DEVICE = 'org.bluez.Device1'
SERVICE = 'org.bluez.GattService1'
CHAR = 'org.bluez.GattCharacteristic1'
GATT_MANAGER = 'org.bluez.GattManager1'
ADV_MANAGER = 'org.bluez.LEAdvertisingManager1'
ADVERTISEMENT = 'org.bluez.LEAdvertisement1'
PROPS = dbus.PROPERTIES_IFACE
OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'

DEFAULT_MTU = 247
# bluetoothd cuts an application's value to this before it notifies it (BT_ATT_MAX_VALUE_LEN).
MAX_VALUE_LEN = 512
MAX_ADVERTISEMENTS = 4
# Between Connected and ServicesResolved, as service discovery takes a while on a real link.
RESOLVE_MS = 10
# A page of a device that does not answer over BR/EDR (5.12 s on a real controller).
PAGE_TIMEOUT_MS = 50
# How long the controller takes to stop discovering: bluetoothd answers StopDiscovery once it has
# (src/adapter.c discovery_stop, stop_discovery_complete).
STOP_DISCOVERY_MS = 20
# bluetoothd waits this long (the D-Bus default) for an application's answer.
APP_TIMEOUT_S = 25.0
# How long a temporary device outlives its last advertisement (main.conf TemporaryTimeout, whole
# seconds there; tests may set a fraction so that they stay short).
DEFAULT_TEMPORARY_TIMEOUT_S = 30.0
# Advertising data flags (src/eir.h).
EIR_GEN_DISC, EIR_BREDR_UNSUP = 0x02, 0x04
# src/gatt-client.c create_gatt_dbus_error: ATT error codes as D-Bus errors, of those the tests
# make a device answer (bluez_properties_test reads every name bluetoothd gives).
_ATT_ERRORS = {
    0x05: ('NotPermitted', 'Not paired'),
    0x0D: ('InvalidArguments', 'Invalid Length'),
}

_UUID_BASE = '-0000-1000-8000-00805f9b34fb'
# Flags that let a remote central read, write (request or command) or subscribe to a local
# characteristic, of those the helper gives its own.
_SERVE_FLAGS = {
    'read': {'read', 'encrypt-read'},
    'request': {'write', 'encrypt-write'},
    'command': {'write-without-response'},
    'notify': {'notify', 'indicate', 'encrypt-notify', 'encrypt-indicate'},
}
# The characteristic flags the helper may give (parse_chrc_flags knows more).
_CHAR_FLAGS = {'broadcast'}.union(*_SERVE_FLAGS.values())

# Properties a test may give a device, with their Device1 types.
_DEVICE_TYPES = {'Name': 's', 'RSSI': 'n', 'ManufacturerData': 'a{qv}', 'ServiceData': 'a{sv}',
                 'UUIDs': 'as', 'AddressType': 's', 'Paired': 'b'}
# The discovery filter and advertisement entries the helper sets, with their types.
_FILTER_TYPES = {'UUIDs': 'as', 'Transport': 's', 'DuplicateData': 'b'}
_AD_TYPES = {'Type': 's', 'ServiceUUIDs': 'as', 'Discoverable': 'b', 'LocalName': 's'}

_SIMPLE = {'s': dbus.String, 'o': dbus.ObjectPath, 'b': dbus.Boolean, 'y': dbus.Byte,
           'n': dbus.Int16, 'q': dbus.UInt16, 'u': dbus.UInt32}

_root = None
_value_after_reply = False  # announce a read's value after its reply, as this double once did
_temporary_timeout_s = DEFAULT_TEMPORARY_TIMEOUT_S
_adapters = {}  # path -> _Adapter
_devices = {}  # path -> _Device
_gatt = {}  # path -> _Gatt, remote services and characteristics whether exported yet or not


# --- Values, errors and signals ---

def _error(name, message=None):
    text = name.rsplit('.', 1)[-1] if message is None else message
    return dbus.exceptions.DBusException(text, name=name)


def _bluez(kind, message=None):
    return _error('org.bluez.Error.' + kind, message)


def _att_error(code):
    '''The error bluetoothd answers a GATT call with when the device answered ATT error code.'''
    kind, message = _ATT_ERRORS.get(code, ('Failed', f'Operation failed with ATT error: 0x{code:02x}'))
    return _bluez(kind, message)


def _is(value, sig):
    '''Whether a received value has D-Bus type sig.'''
    if sig in _SIMPLE:
        return isinstance(value, _SIMPLE[sig])
    if sig == 'ay':
        return isinstance(value, dbus.ByteArray) or (
            isinstance(value, dbus.Array) and value.signature == 'y')
    if sig.startswith('a{'):
        return isinstance(value, dbus.Dictionary) and value.signature == sig[2:-1]
    return isinstance(value, dbus.Array) and value.signature == sig[1:]


def _typed(sig, value):
    '''value as a stored property of D-Bus type sig, without a variant level.'''
    if sig in ('s', 'o'):
        return _SIMPLE[sig](str(value))
    if sig == 'b':
        return dbus.Boolean(bool(value))
    if sig in _SIMPLE:
        return _SIMPLE[sig](int(value))
    if sig == 'ay':
        return dbus.Array([dbus.Byte(b) for b in bytes(value)], signature='y')
    if sig == 'as':
        return dbus.Array([dbus.String(s) for s in value], signature='s')
    if sig == 'a{qv}':
        return dbus.Dictionary({dbus.UInt16(int(k)): _typed('ay', v) for k, v in value.items()},
                               signature='qv')
    if sig == 'a{sv}':
        return dbus.Dictionary({dbus.String(_uuid(k)): _typed('ay', v) for k, v in value.items()},
                               signature='sv')
    raise TypeError('unsupported type ' + sig)


def _uuid(text):
    '''The 128-bit lower-case form bluetoothd uses of a 16-, 32- or 128-bit UUID.'''
    u = str(text).lower()
    if re.fullmatch(r'[0-9a-f]{4}', u):
        return '0000' + u + _UUID_BASE
    if re.fullmatch(r'[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}', u):
        return u
    raise _bluez('InvalidArguments', f'Invalid UUID {text}')


def _conn():
    return _root.connection


def _signal(path, iface, member, signature, *args):
    msg = dbus.lowlevel.SignalMessage(path, iface, member)
    msg.append(*args, signature=signature)
    _conn().send_message(msg)


def _set(obj, iface, changes, always=False):
    '''Stores properties and emits one PropertiesChanged with those that changed (or all).'''
    props = obj.props[iface]
    changed = {k: v for k, v in changes.items() if always or k not in props or props[k] != v}
    props.update(changes)
    if changed:
        _signal(obj.path, PROPS, 'PropertiesChanged', 'sa{sv}as', iface, changed,
                dbus.Array([], signature='s'))


def _add_methods(obj, method_classes):
    for cls in method_classes:
        for fn in vars(cls).values():
            if getattr(fn, '_dbus_is_method', False):
                obj.methods.setdefault(fn._dbus_interface, {})[fn.__name__] = (
                    fn._dbus_in_signature, fn._dbus_out_signature, '', fn)


def _add_object(path, iface, props, *method_classes, announce=True):
    '''Exports an object with its interfaces' properties (iface's and any others in props).'''
    _root.AddObject(path, iface, props.pop(iface), [])
    obj = mockobject.objects[path]
    obj.props.update(props)
    _add_methods(obj, method_classes)
    if announce:
        _announce(obj)
    return obj


def _announce(obj):
    _signal('/', OBJECT_MANAGER, 'InterfacesAdded', 'oa{sa{sv}}', dbus.ObjectPath(obj.path),
            obj.props)


def _remove_object(obj):
    _signal('/', OBJECT_MANAGER, 'InterfacesRemoved', 'oas', dbus.ObjectPath(obj.path),
            dbus.Array(list(obj.props), signature='s'))
    _root.RemoveObject(obj.path)


def _log(text):
    _root.log(text)


# --- Calls answered later ---

class _Call:
    '''A call the double never answers by itself; a link loss can still end it.'''

    def __init__(self, pending, err):
        self.pending = pending
        self.err = err

    def take(self):
        '''True for the first taker only, which then answers the call.'''
        if self not in self.pending:
            return False
        self.pending.discard(self)
        return True


def _answer(behaviour, pending, ok, err, action):
    '''Answers a call as the test set it up. action() runs when the call is answered and returns
    the reply's values and what to do right after the reply (or None); it may raise an error.'''
    def finish():
        try:
            reply, after = action()
        except Exception as e:  # pylint: disable=broad-except
            err(e)
            return
        ok(*reply)
        if after:
            after()

    if behaviour == '':
        finish()
        return None
    if behaviour == 'hang':
        call = _Call(pending, err)
        pending.add(call)
        return call
    if behaviour.startswith('att:'):
        err(_att_error(int(behaviour[4:], 16)))
        return None
    name, _, message = behaviour.partition(':')
    err(_error(name, message or 'Failed as the test asked'))
    return None


def _fail_all(pending, message):
    for call in list(pending):
        if call.take():
            call.err(_bluez('Failed', message))


# --- State behind the objects ---

class _Adapter:
    def __init__(self, obj):
        self.obj = obj
        self.sessions = set()  # clients with a discovery session
        self.stopping = set()  # clients whose StopDiscovery waits for the controller
        self.filter = dbus.Dictionary({}, signature='sv')  # the last one set
        self.filters = {}  # client -> its discovery filter
        self.found = set()  # devices found by the running discovery (discovery_found)
        self.apps = {}  # (sender, root) -> _App
        self.ads = {}  # (sender, path) -> the advertisement's properties
        self.reading = set()  # applications and advertisements being read
        self.notifications = {}  # (characteristic UUID, device path) -> values it received

    def powered(self):
        return bool(self.obj.props[ADAPTER]['Powered'])


class _Device:
    """A remote LE device in range, and what bluetoothd keeps of it; obj is its Device1 object,
    None while bluetoothd has none (not yet seen, or removed as a temporary device)."""

    def __init__(self, path, adapter, address, address_type, given):
        self.path = path
        self.obj = None
        self.adapter = adapter
        self.address = address
        self.address_type = address_type
        self.given = given  # the properties the test gave, which a new object starts from
        self.connect_behaviour = ''
        self.connect_call = None
        self.pending = set()  # its calls answered later
        self.resolving = None  # timeout source until ServicesResolved
        self.page = None  # (timeout source, Connect's error reply) while paged over BR/EDR
        self.resolve_early = False  # ServicesResolved before the GATT objects are announced
        self.gatt = []  # paths of its services and characteristics, parents first
        self.next_handle = 1
        # src/device.c: temporary until connected (or for good with a private address), removed
        # TemporaryTimeout after it was last seen.
        self.temporary = True
        self.timer = None
        self.bredr = False  # an advertisement lacked "BR/EDR not supported"
        self.mtu = DEFAULT_MTU  # the ATT MTU of its link as a central of the adapter

    def connected(self):
        return self.obj is not None and bool(self.obj.props[DEVICE]['Connected'])

    def connecting(self):
        return self.connect_call is not None and self.connect_call in self.pending

    def bonded(self):
        return self.obj is not None and bool(self.obj.props[DEVICE]['Bonded'])

    def private(self):
        """src/device.c device_address_is_private: random, non-resolvable or resolvable."""
        return self.address_type == 'random' and int(self.address[:2], 16) >> 6 in (0, 1)


class _Gatt:
    '''A remote service or characteristic; exported once its device's services are resolved.'''

    def __init__(self, path, device, iface, props, flags=(), value=b''):
        self.path = path
        self.device = device
        self.iface = iface
        self.props = props
        self.base = dict(props)  # what a new object starts from
        self.obj = None
        self.flags = list(flags)
        self.value = bytes(value)  # the remote device's value, which ReadValue returns
        self.writes = []
        self.behaviour = {}
        self.sessions = set()  # clients with a notify session
        self.starting = set()
        self.write_op = False  # a write request under way

    def set(self, changes, always=False):
        _set(self.obj, self.iface, changes, always)


def _adapter(name):
    return _adapters['/org/bluez/' + name]


def _device(path):
    return _devices[path]


# --- Adapters ---

def _power(a, on):
    '''adapter_stop (adapter.c): links and discovery end; registered applications and
    advertisements stay, as the GATT database and the advertising manager are the adapter's
    for its whole life.'''
    if a.powered() == on:
        return
    changes = {'Powered': dbus.Boolean(on), 'PowerState': dbus.String('on' if on else 'off')}
    if not on:
        # The controller drops its links and stops scanning.
        for d in [d for d in _devices.values() if d.adapter is a]:
            _end_page(d, 'br-connection-aborted-by-local')  # ECONNABORTED
            if d.connected() or d.connecting():
                _drop_link(d, 'Not connected')
        a.sessions.clear()
        _discovery_cleanup(a)
        changes['Discovering'] = dbus.Boolean(False)
        changes['Discoverable'] = dbus.Boolean(False)
    _set(a.obj, ADAPTER, changes)


class _AdapterMethods:
    @dbus.service.method(ADAPTER, in_signature='', out_signature='', sender_keyword='sender')
    def StartDiscovery(obj, sender):
        a = _adapters[obj.path]
        if not a.powered():
            raise _bluez('NotReady', 'Resource Not Ready')
        if sender in a.sessions:
            raise _bluez('InProgress', 'Operation already in progress')
        a.sessions.add(sender)
        _set(obj, ADAPTER, {'Discovering': dbus.Boolean(True)})

    @dbus.service.method(ADAPTER, in_signature='', out_signature='', sender_keyword='sender',
                         async_callbacks=('ok', 'err'))
    def StopDiscovery(obj, sender, ok, err):
        """src/adapter.c stop_discovery: the last session ends when the controller has stopped;
        until then it stays, and a StartDiscovery of the same client is refused as in progress."""
        a = _adapters[obj.path]
        if not a.powered():
            return err(_bluez('NotReady', 'Resource Not Ready'))
        if sender not in a.sessions:
            return err(_bluez('Failed', 'No discovery started'))
        if sender in a.stopping:
            return err(_bluez('InProgress', 'Operation already in progress'))
        a.stopping.add(sender)

        def stopped():
            a.stopping.discard(sender)
            if sender in a.sessions:
                a.sessions.discard(sender)
                if not a.sessions:
                    _discovery_cleanup(a)
                _set(obj, ADAPTER, {'Discovering': dbus.Boolean(bool(a.sessions))})
            ok()
            return False
        GLib.timeout_add(STOP_DISCOVERY_MS, stopped)
        return None

    @dbus.service.method(ADAPTER, in_signature='a{sv}', out_signature='', sender_keyword='sender')
    def SetDiscoveryFilter(obj, properties, sender):
        a = _adapters[obj.path]
        if not a.powered():
            raise _bluez('NotReady', 'Resource Not Ready')
        for key, value in properties.items():
            if key not in _FILTER_TYPES or not _is(value, _FILTER_TYPES[key]):
                raise _bluez('InvalidArguments', f'Invalid filter entry {key}')
        for u in properties.get('UUIDs', []):
            _uuid(u)
        a.filter = dbus.Dictionary(properties, signature='sv')
        a.filters[str(sender)] = a.filter

    @dbus.service.method(ADAPTER, in_signature='o', out_signature='')
    def RemoveDevice(obj, device):
        _log(f'RemoveDevice {device}')
        d = _devices.get(device)
        if d is None or d.obj is None or d.adapter is not _adapters[obj.path]:
            raise _bluez('InvalidArguments', 'Device does not exist')
        _remove_device(d, forget=False)


@dbus.service.method(MOCK, in_signature='ss', out_signature='s')
def AddAdapter(self, device_name, system_name):
    '''bluez5's adapter (powered, same address scheme), with GattManager1 and
    LEAdvertisingManager1, a working Powered and discovery sessions per client.'''
    path = '/org/bluez/' + device_name
    n = int(device_name[-1])
    address = ':'.join(f'{n + i:02d}' for i in range(6))
    adapter = {
        'Address': dbus.String(address), 'AddressType': dbus.String('public'),
        'Name': dbus.String(system_name), 'Alias': dbus.String(system_name),
        'Powered': dbus.Boolean(True), 'PowerState': dbus.String('on'),
        'Discoverable': dbus.Boolean(False), 'Discovering': dbus.Boolean(False)}
    obj = _add_object(path, ADAPTER, {ADAPTER: adapter, GATT_MANAGER: {}, ADV_MANAGER: {}},
                      _AdapterMethods, _GattManager, _AdvertisingManager)
    _adapters[path] = _Adapter(obj)
    return path


@dbus.service.method(MOCK, in_signature='sb', out_signature='')
def SetPowered(_self, adapter_name, powered):
    _power(_adapter(adapter_name), bool(powered))


@dbus.service.method(MOCK, in_signature='s', out_signature='a{sv}')
def GetDiscoveryFilter(_self, adapter_name):
    return _adapter(adapter_name).filter


@dbus.service.method(MOCK, in_signature='s', out_signature='b')
def StoppingDiscovery(_self, adapter_name):
    """Whether a StopDiscovery still waits for the controller."""
    return bool(_adapter(adapter_name).stopping)


# --- Devices ---

def _device_props(props):
    typed = {}
    for key, value in props.items():
        if key not in _DEVICE_TYPES:
            raise _error('org.freedesktop.DBus.Error.InvalidArgs', f'Unknown property {key}')
        typed[key] = _typed(_DEVICE_TYPES[key], value)
    if 'UUIDs' in typed:
        typed['UUIDs'] = dbus.Array([_uuid(u) for u in typed['UUIDs']], signature='s')
    return typed


def _set_timer(d):
    """src/device.c set_temporary_timer: (re)starts the countdown to device_disappeared."""
    _clear_timer(d)
    if _temporary_timeout_s > 0:
        d.timer = GLib.timeout_add(max(1, int(_temporary_timeout_s * 1000)), _disappeared, d)


def _clear_timer(d):
    if d.timer is not None:
        GLib.source_remove(d.timer)
        d.timer = None


def _disappeared(d):
    """src/device.c device_disappeared: btd_adapter_remove_device of a temporary device."""
    d.timer = None
    if d.obj is not None:
        _remove_device(d, forget=False)
    return False


def _seen(d):
    """src/device.c device_update_last_seen: a temporary device's timer starts again."""
    if d.temporary:
        _set_timer(d)


def _set_permanent(d):
    """src/device.c btd_device_set_temporary(false): a private address stays temporary for good."""
    if d.temporary and not d.private():
        d.temporary = False
        _clear_timer(d)


def _export_device(d, props):
    """src/device.c device_create: a new object, with nothing of an earlier one."""
    a = d.adapter
    device = {
        'Address': dbus.String(d.address), 'AddressType': dbus.String(d.address_type),
        'Alias': props.get('Name', dbus.String(d.address.replace(':', '-'))),
        'Paired': dbus.Boolean(False), 'Bonded': dbus.Boolean(False),
        'Trusted': dbus.Boolean(False), 'Blocked': dbus.Boolean(False),
        'LegacyPairing': dbus.Boolean(False), 'Connected': dbus.Boolean(False),
        'ServicesResolved': dbus.Boolean(False), 'Adapter': dbus.ObjectPath(a.obj.path)}
    device.update(props)
    d.obj = _add_object(d.path, DEVICE, {DEVICE: device}, _DeviceMethods)
    d.temporary = True
    d.bredr = False


def _connect_link(d):
    """src/device.c device_add_connection: no temporary timer while connected."""
    _clear_timer(d)
    _set(d.obj, DEVICE, {'Connected': dbus.Boolean(True)})
    d.resolving = GLib.timeout_add(RESOLVE_MS, _resolve, d)


def _resolve(d):
    """Service discovery is done: the GATT objects appear, then ServicesResolved (or, with
    resolve_early, ServicesResolved first, as when the signals of a busy bus interleave)."""
    d.resolving = None
    gatt = [_gatt[path] for path in d.gatt]
    for g in gatt:
        _export(g, announce=not d.resolve_early)
    if d.resolve_early:
        _set(d.obj, DEVICE, {'ServicesResolved': dbus.Boolean(True)})
        for g in gatt:
            _announce(g.obj)
    if not d.resolve_early:
        _set(d.obj, DEVICE, {'ServicesResolved': dbus.Boolean(True)})
    return False


def _export(g, announce=True):
    if g.obj is None:
        methods = (_CharacteristicMethods,) if g.iface == CHAR else ()
        g.obj = _add_object(g.path, g.iface, {g.iface: dict(g.props)}, *methods, announce=announce)
        g.props = g.obj.props[g.iface]


def _unexport(g):
    if g.obj is not None:
        _remove_object(g.obj)
        g.obj = None
        g.props = dict(g.base)
        g.sessions.clear()
        g.starting.clear()


def _drop_link(d, reason):
    """The link is gone: calls waiting on it fail (a waiting Connect with
    "br-connection-canceled", whatever its bearer), then Connected and ServicesResolved fall
    (src/device.c device_remove_connection, which also counts the device as seen)."""
    if d.resolving is not None:
        GLib.source_remove(d.resolving)
        d.resolving = None
    if d.connecting() and d.connect_call.take():
        d.connect_call.err(_bluez('Failed', 'br-connection-canceled'))
    _fail_all(d.pending, reason)
    d.connect_call = None
    _set(d.obj, DEVICE, {'ServicesResolved': dbus.Boolean(False),
                         'Connected': dbus.Boolean(False)})
    _seen(d)
    # gatt_server_cleanup -> btd_gatt_database_att_disconnected (gatt-database.c
    # att_disconnected): an unbonded central's subscriptions end with its link.
    if not d.bonded():
        for app in list(d.adapter.apps.values()):
            app.clear_ccc_state(d.path)


def _remove_device(d, forget=True):
    """btd_adapter_remove_device; forget also takes the device out of range for good."""
    _clear_timer(d)
    _end_page(d)
    if d.obj is not None:
        if d.connecting():
            d.connect_call.take()  # src/device.c device_free: Connect is dropped unanswered
        if d.connected() or d.connecting():
            _drop_link(d, 'Not connected')
            _clear_timer(d)
        for path in reversed(d.gatt):
            _unexport(_gatt[path])
        _remove_object(d.obj)
        d.obj = None
        d.adapter.found.discard(d)
    if forget:
        for path in d.gatt:
            del _gatt[path]
        del _devices[d.path]


def _select_bearer(d):
    """src/device.c select_conn_bearer: a device bonded over LE (as RemotePair bonds) is
    connected over LE; otherwise a public address whose advertisement lacked "BR/EDR not
    supported" is paged over BR/EDR (the same advertisement updates both bearers, and BR/EDR wins
    the tie)."""
    return 'bredr' if d.address_type == 'public' and d.bredr and not d.bonded() else 'le'


def _connect_le(d, ok, err):
    """src/device.c device_connect_le; the reply comes once the link is up."""
    def connect():
        d.connect_call = None
        _connect_link(d)
        return (), None
    d.connect_call = _answer(d.connect_behaviour, d.pending, ok, err, connect)


def _page(d, err):
    """src/device.c connect_profiles over BR/EDR: an LE-only device never answers the page, and
    on the page time-out browse_request_complete connects over LE instead, dropping the Connect
    call without an answer; only Connected tells that the device is connected."""
    def timeout():
        d.page = None
        _connect_le(d, lambda: None, lambda _e: None)
        return False
    d.page = (GLib.timeout_add(PAGE_TIMEOUT_MS, timeout), err)


def _end_page(d, reason=None):
    """The page ends early: a Disconnect cancels it (device_request_disconnect,
    browse_request_cancel), Connect staying unanswered; a power-off aborts it, and
    browse_request_complete fails Connect with reason."""
    if d.page is not None:
        source, err = d.page
        d.page = None
        GLib.source_remove(source)
        if reason is not None:
            err(_bluez('Failed', reason))


class _DeviceMethods:
    @dbus.service.method(DEVICE, in_signature='', out_signature='',
                         async_callbacks=('ok', 'err'))
    def Connect(obj, ok, err):
        """src/device.c dev_connect."""
        d = _devices[obj.path]
        if not d.adapter.powered():
            return err(_bluez('NotReady', 'Resource Not Ready'))
        if d.connecting():  # device_connect_le: -EALREADY while att_io is set
            return err(_bluez('Failed', 'Operation already in progress'))
        if d.page is not None:  # connect_profiles: dev->browse is set
            return err(_bluez('InProgress', 'br-connection-busy'))
        if d.connected():
            return ok()
        bearer = _select_bearer(d)
        _log(f'Connect {obj.path} {bearer}')
        _set_permanent(d)
        if bearer == 'bredr':
            return _page(d, err)
        _connect_le(d, ok, err)
        return None

    @dbus.service.method(DEVICE, in_signature='', out_signature='')
    def Disconnect(obj):
        """src/device.c dev_disconnect: answered also when there was no link."""
        d = _devices[obj.path]
        _log(f'Disconnect {obj.path}')
        _end_page(d)
        if d.connecting() or d.connected():
            _drop_link(d, 'Not connected')


class _ConnectDevice:
    @dbus.service.method(ADAPTER, in_signature='a{sv}', out_signature='',
                         async_callbacks=('ok', 'err'))
    def ConnectDevice(obj, properties, ok, err):
        """src/adapter.c connect_device (experimental): an LE connection by address, for a
        device bluetoothd has no object of. Its connection fails as "org.bluez.Failed" with no
        message, whatever went wrong (device_connect_cb)."""
        a = _adapters[obj.path]
        _log(f'ConnectDevice {obj.path} {dict(properties)}')
        if not a.powered():
            return err(_bluez('NotReady', 'Resource Not Ready'))
        address, kind = properties.get('Address'), properties.get('AddressType')
        if set(properties) - {'Address', 'AddressType'} or not _is(address, 's') or \
                kind not in ('public', 'random') or \
                not re.fullmatch(r'([0-9A-F]{2}:){5}[0-9A-F]{2}', str(address).upper()):
            return err(_bluez('InvalidArguments', 'Invalid arguments in method call'))
        path = f'{a.obj.path}/dev_{str(address).upper().replace(":", "_")}'
        d = _devices.get(path)
        if d is not None and d.obj is not None:
            return err(_bluez('AlreadyExists', 'Already Exists'))
        def failed(_error_of_the_link=None):
            err(_error('org.bluez.Failed', ''))
            return False
        if d is None or d.address_type != kind:
            return GLib.timeout_add(PAGE_TIMEOUT_MS, failed)

        def connect():
            # The object appears once the link is up (device_connect_cb), none when it fails.
            d.connect_call = None
            _export_device(d, {})
            _set_permanent(d)
            _connect_link(d)
            return (), None
        d.connect_call = _answer(d.connect_behaviour, d.pending, ok, failed, connect)
        return None


@dbus.service.method(MOCK, in_signature='sb', out_signature='')
def SetExperimental(_self, adapter_name, on):
    """bluetoothd -E (Experimental in main.conf): Adapter1.ConnectDevice is offered."""
    a = _adapter(adapter_name)
    if on:
        _add_methods(a.obj, (_ConnectDevice,))


@dbus.service.method(MOCK, in_signature='b', out_signature='')
def SetValueAfterReply(_self, after):
    '''A read's Value change comes after its reply, not before it as bluetoothd 5.66 sends it
    (src/gatt-client.c chrc_read_cb): a client must count the read once either way.'''
    global _value_after_reply  # pylint: disable=global-statement
    _value_after_reply = bool(after)


@dbus.service.method(MOCK, in_signature='d', out_signature='')
def SetTemporaryTimeout(_self, seconds):
    """main.conf TemporaryTimeout; 0 keeps temporary devices for good."""
    global _temporary_timeout_s  # pylint: disable=global-statement
    _temporary_timeout_s = float(seconds)


@dbus.service.method(MOCK, in_signature='ssa{sv}', out_signature='s')
def AddLEDevice(self, adapter_name, address, props):
    """An LE device in range that the adapter has just seen, with these advertisement
    properties; AddressType "random" (the default) or "public"."""
    a = _adapter(adapter_name)
    address = str(address).upper()
    path = f'{a.obj.path}/dev_{address.replace(":", "_")}'
    given = _device_props(props)
    kind = str(given.pop('AddressType', 'random'))
    d = _Device(path, a, address, kind, given)
    _devices[path] = d
    _export_device(d, given)
    _seen(d)
    return path


def _merged_uuids(a):
    """The UUIDs every discovery client filters on; None when one takes every device."""
    uuids = set()
    for sender in a.sessions:
        f = a.filters.get(sender, {})
        if not f.get('UUIDs'):
            return None
        uuids |= {_uuid(u) for u in f['UUIDs']}
    return uuids


def _merge_data(props, key, entries, duplicate):
    """src/device.c device_set_manufacturer_data/device_set_service_data: with DuplicateData
    the record holds the latest advertisement's entries only, otherwise entries accumulate."""
    old = props.get(key)
    merged = {} if duplicate or old is None else dict(old)
    merged.update(entries)
    value = _typed('a{qv}' if key == 'ManufacturerData' else 'a{sv}', merged)
    return None if old is not None and old == value else value


@dbus.service.method(MOCK, in_signature='sa{sv}', out_signature='b')
def Advertise(_self, path, props):
    """The device advertises (src/adapter.c btd_adapter_update_found_device): props may hold
    RSSI, UUIDs, ManufacturerData, ServiceData, and Flags (y, the advertising flags, 0x06 when
    absent). True when bluetoothd took it in."""
    d = _device(path)
    a = d.adapter
    flags = int(props.get('Flags', EIR_GEN_DISC | EIR_BREDR_UNSUP))
    given = _device_props({k: v for k, v in props.items() if k != 'Flags'})
    if not a.sessions:
        return False  # not discovering: the report is dropped
    if d.obj is None:
        _export_device(d, {})
    _seen(d)
    if flags and not flags & EIR_BREDR_UNSUP:
        d.bredr = True
    wanted = _merged_uuids(a)
    if wanted is not None and not wanted & set(given.get('UUIDs', [])):
        return False  # is_filter_match: no client wants it
    current = d.obj.props[DEVICE]
    duplicate = any(a.filters.get(s, {}).get('DuplicateData', False) for s in a.sessions)
    changes = {}
    # src/device.c device_set_rssi_with_delta: under a discovery filter every change counts,
    # otherwise only one of 8 dBm or more, or the first after the RSSI was invalidated.
    threshold = 0 if any(a.filters.get(s) for s in a.sessions) else 8
    if 'RSSI' in given:
        old = current.get('RSSI')
        if old is None or abs(int(old) - int(given['RSSI'])) >= threshold:
            changes['RSSI'] = given['RSSI']
    resolved = bool(current['ServicesResolved'])
    if 'UUIDs' in given and not resolved:
        known = list(current.get('UUIDs', []))
        added = [u for u in given['UUIDs'] if u not in known]
        if added:
            changes['UUIDs'] = dbus.Array(known + added, signature='s')
    for key in ('ManufacturerData', 'ServiceData'):
        if key in given:
            value = _merge_data(current, key, given[key], duplicate)
            if value is not None:
                changes[key] = value
    a.found.add(d)
    if changes:
        _set(d.obj, DEVICE, changes, always=True)
    return True


def _discovery_cleanup(a):
    """src/adapter.c discovery_cleanup: the found devices lose their RSSI."""
    for d in a.found:
        if d.obj is not None and d.obj.props[DEVICE].pop('RSSI', None) is not None:
            _signal(d.path, PROPS, 'PropertiesChanged', 'sa{sv}as', DEVICE,
                    dbus.Dictionary({}, signature='sv'), dbus.Array(['RSSI'], signature='s'))
    a.found.clear()


@dbus.service.method(MOCK, in_signature='sb', out_signature='')
def SetResolveEarly(_self, device, early):
    """ServicesResolved comes before the InterfacesAdded of the device's GATT objects."""
    _device(device).resolve_early = bool(early)


@dbus.service.method(MOCK, in_signature='s', out_signature='')
def ForgetDevice(_self, path):
    '''bluetoothd removes the device's object (another client's Adapter1.RemoveDevice); the
    device stays in range.'''
    d = _device(path)
    if d.obj is not None:
        _remove_device(d, forget=False)


@dbus.service.method(MOCK, in_signature='s', out_signature='b')
def DeviceExists(_self, path):
    return _device(path).obj is not None


@dbus.service.method(MOCK, in_signature='su', out_signature='')
def FloodRSSI(_self, path, count):
    '''count RSSI changes as fast as the double can send them; answers once all are written.'''
    d = _device(path)
    conn = _conn()
    # Copying one of a few ready messages costs far less than marshalling each one.
    ready = []
    for i in range(50):
        msg = dbus.lowlevel.SignalMessage(path, PROPS, 'PropertiesChanged')
        msg.append(DEVICE, {'RSSI': dbus.Int16(-40 - i)}, dbus.Array([], signature='s'),
                   signature='sa{sv}as')
        ready.append(msg)
    for i in range(count):
        conn.send_message(ready[i % 50].copy())
    if count:
        d.obj.props[DEVICE]['RSSI'] = dbus.Int16(-40 - (count - 1) % 50)
    conn.flush()


@dbus.service.method(MOCK, in_signature='s', out_signature='')
def RemoveLEDevice(_self, path):
    _remove_device(_device(path))


@dbus.service.method(MOCK, in_signature='ss', out_signature='')
def SetConnectBehaviour(_self, device, behaviour):
    _device(device).connect_behaviour = str(behaviour)


@dbus.service.method(MOCK, in_signature='s', out_signature='')
def DropLink(_self, device):
    """The remote side went away (or out of range) while connected or connecting."""
    _drop_link(_device(device), 'Not connected')


# --- Remote GATT ---

class _CharacteristicMethods:
    @dbus.service.method(CHAR, in_signature='a{sv}', out_signature='ay',
                         async_callbacks=('ok', 'err'), byte_arrays=True)
    def ReadValue(obj, _options, ok, err):
        """src/gatt-client.c characteristic_read_value and chrc_read_cb; the helper never reads
        at an offset."""
        c = _gatt[obj.path]
        _log(f'ReadValue {obj.path}')
        if not c.device.connected():
            return err(_bluez('Failed', 'Not connected'))

        def read():
            # bluetoothd stores and announces the value before it sends the reply.
            def announce():
                c.set({'Value': _typed('ay', c.value)}, always=True)
            if _value_after_reply:
                return (dbus.ByteArray(c.value),), announce
            announce()
            return (dbus.ByteArray(c.value),), None
        _answer(c.behaviour.get('ReadValue', ''), c.device.pending, ok, err, read)
        return None

    @dbus.service.method(CHAR, in_signature='aya{sv}', out_signature='',
                         async_callbacks=('ok', 'err'), byte_arrays=True)
    def WriteValue(obj, value, options, ok, err):
        """src/gatt-client.c characteristic_write_value, with the "type" the helper always
        gives; a command longer than MTU - 3 cannot be sent."""
        c = _gatt[obj.path]
        _log(f'WriteValue {obj.path} {bytes(value).hex()}')
        if not c.device.connected():
            return err(_bluez('Failed', 'Not connected'))
        if c.write_op:
            return err(_bluez('InProgress', 'In Progress'))
        kind = options.get('type')
        if not _is(kind, 's') or kind.lower() not in ('request', 'command'):
            return err(_bluez('InvalidArguments', 'Invalid arguments in method call'))
        kind = kind.lower()
        data = bytes(value)
        if kind == 'request':
            def write():
                c.write_op = False
                c.value = data
                c.writes.append((data, kind))
                return (), None

            def failed(e):
                c.write_op = False
                err(e)
            c.write_op = True
            _answer(c.behaviour.get('WriteValue', ''), c.device.pending, ok, failed, write)
            return None
        if len(data) > int(c.props['MTU']) - 3:
            return err(_bluez('Failed', 'Failed to initiate write'))
        # A command is not answered; the device drops one it does not take.
        if 'write-without-response' in c.flags:
            c.value = data
            c.writes.append((data, kind))
        return ok()

    @dbus.service.method(CHAR, in_signature='', out_signature='', sender_keyword='sender',
                         async_callbacks=('ok', 'err'))
    def StartNotify(obj, sender, ok, err):
        c = _gatt[obj.path]
        _log(f'StartNotify {obj.path}')
        if not {'notify', 'indicate'} & set(c.flags):
            return err(_bluez('NotSupported', 'Operation is not supported'))
        if sender in c.starting:
            return err(_bluez('InProgress', 'In Progress'))
        c.starting.add(sender)

        def start():
            c.starting.discard(sender)
            c.sessions.add(sender)
            c.set({'Notifying': dbus.Boolean(True)})
            return (), None

        def failed(e):
            c.starting.discard(sender)
            err(e)
        _answer(c.behaviour.get('StartNotify', ''), c.device.pending, ok, failed, start)
        return None

    @dbus.service.method(CHAR, in_signature='', out_signature='', sender_keyword='sender',
                         async_callbacks=('ok', 'err'))
    def StopNotify(obj, sender, ok, err):
        c = _gatt[obj.path]
        _log(f'StopNotify {obj.path}')
        if sender not in c.sessions:
            return err(_bluez('Failed', 'No notify session started'))

        def stop():
            c.sessions.discard(sender)
            if not c.sessions:
                c.set({'Notifying': dbus.Boolean(False)})
            return (), None
        _answer(c.behaviour.get('StopNotify', ''), c.device.pending, ok, err, stop)
        return None


def _add_gatt(d, path, iface, props, **state):
    _gatt[path] = _Gatt(path, d, iface, props, **state)
    d.gatt.append(path)
    return path


@dbus.service.method(MOCK, in_signature='ss', out_signature='s')
def AddGattService(_self, device, uuid):
    '''A primary service of the device, on the bus once the device's services are resolved.'''
    d = _device(device)
    path = f'{device}/service{d.next_handle:04x}'
    d.next_handle += 1
    return _add_gatt(d, path, SERVICE, {
        'UUID': dbus.String(_uuid(uuid)), 'Device': dbus.ObjectPath(device),
        'Primary': dbus.Boolean(True), 'Includes': dbus.Array([], signature='o')})


@dbus.service.method(MOCK, in_signature='ssasay', out_signature='s')
def AddGattCharacteristic(_self, service, uuid, flags, value):
    '''A characteristic whose remote value is value; Value, bluetoothd's cache, starts empty.'''
    d = _gatt[service].device
    path = f'{service}/char{d.next_handle:04x}'
    notifies = bool({'notify', 'indicate'} & set(flags))
    # Declaration and value handles, and the configuration descriptor's when it notifies.
    d.next_handle += 3 if notifies else 2
    props = {'UUID': dbus.String(_uuid(uuid)), 'Service': dbus.ObjectPath(service),
             'Value': dbus.Array([], signature='y'), 'Flags': _typed('as', flags),
             'MTU': dbus.UInt16(DEFAULT_MTU)}
    if notifies:
        props['Notifying'] = dbus.Boolean(False)
    return _add_gatt(d, path, CHAR, props, flags=flags, value=bytes(value))


@dbus.service.method(MOCK, in_signature='sss', out_signature='')
def SetCharBehaviour(_self, char, method, behaviour):
    _gatt[char].behaviour[str(method)] = str(behaviour)


@dbus.service.method(MOCK, in_signature='say', out_signature='')
def Notify(_self, char, value):
    '''The device notifies value; bluetoothd passes it on whether or not anyone subscribed.'''
    c = _gatt[char]
    c.value = bytes(value)
    c.set({'Value': _typed('ay', value)}, always=True)


@dbus.service.method(MOCK, in_signature='s', out_signature='a(ays)')
def GetWrites(_self, char):
    return dbus.Array([dbus.Struct((dbus.ByteArray(v), t), signature='ays')
                       for v, t in _gatt[char].writes], signature='(ays)')


# --- Local GATT application (the helper's profile) ---

# Services bluetoothd serves itself and refuses in an application (gatt-database.c, parse_uuid).
_RESERVED_SERVICES = {_uuid('1800'), _uuid('1801')}


class _App:
    def __init__(self, adapter, key, tree, chars):
        self.adapter = adapter
        self.key = key
        self.sender, self.root = key
        self.tree = tree
        self.chars = chars  # path -> (UUID, flags)
        self.ntfy_cnt = {}  # path -> subscriptions counted (chrc->ntfy_cnt)
        self.notify_io = {}  # path -> (fd, watch) of a notify socket bluetoothd holds
        self.ccc = {}  # device path -> paths it subscribed to (device_state->ccc_states)
        self.match = _conn().add_signal_receiver(
            self.on_signal, bus_name=self.sender, member_keyword='member', path_keyword='path',
            interface_keyword='interface', byte_arrays=True)

    def on_signal(self, *args, member=None, path=None, interface=None):
        '''property_changed_cb: a Value change is notified.'''
        if (member == 'PropertiesChanged' and interface == PROPS and path in self.chars
                and len(args) == 3 and args[0] == CHAR and 'Value' in args[1]):
            self.send_notification(path, bytes(args[1]['Value']))

    def send_notification(self, path, value):
        '''send_notification_to_devices and send_notification_to_device: each subscribed,
        connected central gets the value cut to its MTU less 3 (bt_gatt_server_send_notification).
        A bonded central that is away gets nothing and keeps its subscription; the state of an
        unbonded one that is not connected, or of a device bluetoothd no longer has, goes.'''
        for device_path, paths in list(self.ccc.items()):
            if path not in paths:
                continue
            d = _devices.get(device_path)
            if d is None or d.obj is None or (not d.connected() and not d.bonded()):
                self.clear_ccc_state(device_path)
            elif d.connected():
                received = self.adapter.notifications.setdefault((self.chars[path][0], d.path), [])
                received.append(value[:MAX_VALUE_LEN][:d.mtu - 3])

    def enable(self, path, device_path):
        '''ccc_write_cb enabling: counted at once while bluetoothd holds a notify socket, else
        after AcquireNotify (with the central's options) when the characteristic has
        NotifyAcquired, or at once after a StartNotify without a reply handler.'''
        if path in self.notify_io:
            self.ntfy_cnt[path] = self.ntfy_cnt.get(path, 0) + 1
            return
        if 'NotifyAcquired' not in self.tree[path][CHAR]:
            _send_no_reply(self, path, 'StartNotify', '', ())
            self.ntfy_cnt[path] = self.ntfy_cnt.get(path, 0) + 1
            return

        def acquired(fd, _mtu):
            # acquire_notify_reply: dropped when the application went meanwhile.
            fd = fd.take()
            _log(f'AcquireNotify answered {device_path}')
            if self.adapter.apps.get(self.key) is not self:
                return os.close(fd)
            self.hold_notify_io(path, fd)
            self.ntfy_cnt[path] = self.ntfy_cnt.get(path, 0) + 1
            return None

        def failed(e):
            _log(f'Failed to acquire notify: {e.get_dbus_name()}')
            if e.get_dbus_name() not in ('org.freedesktop.DBus.Error.NoReply',
                                         'org.bluez.Error.Failed'):
                _send_no_reply(self, path, 'StartNotify', '', ())
                self.ntfy_cnt[path] = self.ntfy_cnt.get(path, 0) + 1
        d = _devices[device_path]
        _conn().call_async(self.sender, path, CHAR, 'AcquireNotify', 'a{sv}',
                           (_options(device_path, d.mtu),), acquired, failed,
                           timeout=APP_TIMEOUT_S)

    def disable(self, path):
        '''ccc_write_cb disabling (also with no request, from clear_ccc_state): when the count
        reaches 0, a notify socket is closed, or else StopNotify goes out without a reply
        handler.'''
        if not self.ntfy_cnt.get(path):
            return
        self.ntfy_cnt[path] -= 1
        if self.ntfy_cnt[path]:
            return
        if path in self.notify_io:
            self.close_notify_io(path)
        else:
            _send_no_reply(self, path, 'StopNotify', '', ())

    def clear_ccc_state(self, device_path):
        '''clear_ccc_state: the central's state goes, each subscription disabled.'''
        for path in self.ccc.pop(device_path, ()):
            self.disable(path)

    def hold_notify_io(self, path, fd):
        '''sock_io_new: what the application writes is notified (sock_io_read); when it closes its
        end, bluetoothd lets go of the socket (sock_hup), here at once if it closed it already.'''
        def ready(_fd, condition):
            data = os.read(fd, MAX_VALUE_LEN) if condition & GLib.IO_IN else b''
            if data:
                self.send_notification(path, data)
                return True
            self.notify_io.pop(path, None)
            os.close(fd)
            return False
        poll = select.poll()
        poll.register(fd, select.POLLIN)
        if any(events & (select.POLLHUP | select.POLLERR) for _, events in poll.poll(0)):
            self.notify_io.pop(path, None)
            os.close(fd)
            return
        watch = GLib.io_add_watch(fd, GLib.PRIORITY_DEFAULT,
                                  GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, ready)
        self.notify_io[path] = (fd, watch)

    def close_notify_io(self, path):
        fd, watch = self.notify_io.pop(path)
        GLib.source_remove(watch)
        os.close(fd)


def _drop_app(a, key):
    app = a.apps.pop(key, None)
    if app is not None:
        app.match.remove()
        for path in list(app.notify_io):
            app.close_notify_io(path)


def _chrc_flags(props):
    '''The flags of a characteristic as parse_chrc_flags (gatt-database.c) takes them: none at
    all, or an unknown one, makes the characteristic invalid.'''
    flags = props.get('Flags')
    if not _is(flags, 'as') or not flags or set(flags) - _CHAR_FLAGS:
        return None
    return set(flags)


def _database_uuid(props):
    '''parse_uuid (gatt-database.c): a UUID bluetoothd can read that is not GAP's or GATT's.'''
    try:
        uuid = _uuid(props.get('UUID', '')) if _is(props.get('UUID'), 's') else None
    except dbus.exceptions.DBusException:
        uuid = None
    return uuid if uuid not in _RESERVED_SERVICES else None


def _read_app(root, objects):
    '''Reads the application as client_ready_cb (gatt-database.c) does; every fault fails the
    whole application with org.bluez.Error.Failed. Returns the objects and the characteristics
    by path.'''
    prefix = root.rstrip('/') + '/'
    tree = dbus.Dictionary({p: ifs for p, ifs in objects.items()
                            if p == root or p.startswith(prefix)}, signature='oa{sa{sv}}')
    if not tree:
        raise _bluez('Failed', 'No object received')
    services = {p for p, ifs in tree.items() if SERVICE in ifs}
    # register_characteristic and chrc_create: a characteristic needs its service and flags.
    chars = {}
    for path, ifs in tree.items():
        if CHAR in ifs:
            props = ifs[CHAR]
            flags = _chrc_flags(props)
            if not _is(props.get('Service'), 'o') or props['Service'] not in services or \
                    flags is None:
                raise _bluez('Failed', 'No valid service object found')
            chars[path] = (props.get('UUID'), flags)
    if not services:
        raise _bluez('Failed', 'No valid service object found')
    # database_add_service and database_add_chrc: UUIDs and Primary are read last.
    for path, ifs in tree.items():
        if SERVICE in ifs and (_database_uuid(ifs[SERVICE]) is None or
                               not _is(ifs[SERVICE].get('Primary'), 'b')):
            raise _bluez('Failed', 'Failed to create entry in database')
        if CHAR in ifs:
            uuid = _database_uuid(ifs[CHAR])
            if uuid is None:
                raise _bluez('Failed', 'Failed to create entry in database')
            chars[path] = (uuid, chars[path][1])
    return tree, chars


class _GattManager:
    @dbus.service.method(GATT_MANAGER, in_signature='oa{sv}', out_signature='',
                         sender_keyword='sender', async_callbacks=('ok', 'err'))
    def RegisterApplication(obj, application, _options, sender, ok, err):
        '''manager_register_app (gatt-database.c): the adapter's power does not matter.'''
        a = _adapters[obj.path]
        key = (str(sender), str(application))
        _log(f'RegisterApplication {sender} {application}')
        if key in a.apps or key in a.reading:
            return err(_bluez('AlreadyExists', 'Already Exists'))
        a.reading.add(key)

        def read(objects):
            a.reading.discard(key)
            try:
                tree, chars = _read_app(key[1], objects)
            except dbus.exceptions.DBusException as e:
                return err(e)
            a.apps[key] = _App(a, key, tree, chars)
            return ok()

        def failed(_e):
            a.reading.discard(key)
            err(_bluez('Failed', 'No object received'))
        _conn().call_async(sender, application, OBJECT_MANAGER, 'GetManagedObjects', '', (),
                           read, failed, timeout=APP_TIMEOUT_S, byte_arrays=True)
        return None

    @dbus.service.method(GATT_MANAGER, in_signature='o', out_signature='',
                         sender_keyword='sender')
    def UnregisterApplication(obj, application, sender):
        a = _adapters[obj.path]
        key = (str(sender), str(application))
        _log(f'UnregisterApplication {sender} {application}')
        if key not in a.apps:
            raise _bluez('DoesNotExist', 'Does Not Exist')
        _drop_app(a, key)


@dbus.service.method(MOCK, in_signature='s', out_signature='a{oa{sa{sv}}}')
def GetApplication(_self, adapter_name):
    '''The objects read from the applications registered on the adapter.'''
    return dbus.Dictionary({p: ifs for app in _adapter(adapter_name).apps.values()
                            for p, ifs in app.tree.items()}, signature='oa{sa{sv}}')


@dbus.service.method(MOCK, in_signature='s', out_signature='(uu)')
def CountRegistrations(_self, adapter_name):
    '''How many applications and advertisements the adapter has registered.'''
    a = _adapter(adapter_name)
    return dbus.Struct((dbus.UInt32(len(a.apps)), dbus.UInt32(len(a.ads))), signature='uu')


def _served(adapter_name, char_uuid, need):
    '''The registered characteristic with that UUID, if its flags allow what a central asks.'''
    a = _adapter(adapter_name)
    want = _uuid(char_uuid)
    for app in a.apps.values():
        for path, (uuid, flags) in app.chars.items():
            if uuid == want:
                if not flags & _SERVE_FLAGS[need]:
                    raise _att(0x02 if need == 'read' else 0x03 if need != 'notify' else 0x06)
                return app, path
    raise _error(MOCK + '.NoSuchCharacteristic', f'No registered characteristic {char_uuid}')


def _check_encryption(app, path, flag, device_path):
    '''check_permissions (shared/gatt-server.c): an unencrypted link, here an unpaired device,
    gets Insufficient Encryption before the application is asked.'''
    d = _devices.get(str(device_path))
    paired = d is not None and d.obj is not None and bool(d.obj.props[DEVICE]['Paired'])
    if flag in app.chars[path][1] and not paired:
        raise _att(0x0f)


def _att(code):
    '''The ATT error a remote central receives, as a failed control's error.'''
    return _error(MOCK + '.ATTError', f'0x{code:02x}')


def _att_code(name, message, perm_err):
    '''dbus_error_to_att_ecode (gatt-database.c): the ATT code sent for an application's error.'''
    if name == 'org.bluez.Error.Failed':
        try:
            code = int(message, 0)
        except ValueError:
            return 0x80  # a message without a code
        if 0x80 <= code <= 0x9f:
            return code
        _log(f'Invalid error code: {message}')
        return 0x0e
    return {'org.bluez.Error.NotSupported': 0x06, 'org.bluez.Error.NotAuthorized': 0x08,
            'org.bluez.Error.InvalidValueLength': 0x0d, 'org.bluez.Error.InvalidOffset': 0x07,
            'org.bluez.Error.InProgress': 0xfe,
            'org.bluez.Error.NotPermitted': perm_err}.get(name, 0x0e)


def _call_app(app, path, method, signature, args, ok, err, perm_err):
    '''Calls the application without blocking the loop, as send_read and send_write do; the
    test's call gets the value, or the ATT error the central would receive.'''
    def reply(*values):
        if method == 'ReadValue' and (len(values) != 1 or not _is(values[0], 'ay')):
            return err(_att(0x06))  # read_reply_cb: "Invalid return value"
        if method == 'WriteValue' and values:
            return err(_att(0x06))  # write_reply_cb: "Invalid return value"
        return ok(bytes(values[0])) if method == 'ReadValue' else ok()

    def failed(e):
        err(_att(_att_code(e.get_dbus_name(), e.get_dbus_message() or '', perm_err)))
    _conn().call_async(app.sender, path, CHAR, method, signature, args, reply, failed,
                       timeout=APP_TIMEOUT_S, byte_arrays=True)


def _send_no_reply(app, path, method, signature, args):
    '''A call bluetoothd makes without a reply handler (g_dbus_proxy_method_call with none).'''
    msg = dbus.lowlevel.MethodCallMessage(app.sender, path, CHAR, method)
    msg.set_no_reply(True)
    if signature:
        msg.append(*args, signature=signature)
    _conn().send_message(msg)


def _incoming(device_path, mtu=None):
    '''The central's request comes over its link, which is up from its first request on
    (device_add_connection) with the ATT MTU the request gives.'''
    d = _devices.get(str(device_path))
    if d is None or d.obj is None:
        return None
    if not d.connected():
        _connect_link(d)
    if mtu is not None:
        d.mtu = int(mtu)
    return d


def _options(device_path, mtu):
    '''append_options (gatt-database.c): "device", "link" and "mtu"; "offset" only when it is
    not 0, and no "type".'''
    return dbus.Dictionary({'device': dbus.ObjectPath(device_path), 'link': dbus.String('LE'),
                            'mtu': dbus.UInt16(mtu)}, signature='sv')


@dbus.service.method(MOCK, in_signature='sssq', out_signature='ay',
                     async_callbacks=('ok', 'err'))
def RemoteRead(_self, adapter_name, char_uuid, device_path, mtu, ok, err):
    app, path = _served(adapter_name, char_uuid, 'read')
    _incoming(device_path, mtu)
    _check_encryption(app, path, 'encrypt-read', device_path)
    _call_app(app, path, 'ReadValue', 'a{sv}', (_options(device_path, mtu),), ok, err, 0x02)


@dbus.service.method(MOCK, in_signature='sssays', out_signature='',
                     async_callbacks=('ok', 'err'))
def RemoteWrite(_self, adapter_name, char_uuid, device_path, value, kind, ok, err):
    '''A central's write request or command. chrc_write_cb (gatt-database.c): a characteristic
    with write-without-response has every write sent without a reply handler, and
    write_setup_cb answers the central success at once.'''
    app, path = _served(adapter_name, char_uuid, kind)
    d = _incoming(device_path)
    _check_encryption(app, path, 'encrypt-write', device_path)
    mtu = d.mtu if d is not None else DEFAULT_MTU
    args = (dbus.ByteArray(bytes(value)), _options(device_path, mtu))
    if 'write-without-response' in app.chars[path][1]:
        _send_no_reply(app, path, 'WriteValue', 'aya{sv}', args)
        return ok()
    return _call_app(app, path, 'WriteValue', 'aya{sv}', args, ok, err, 0x03)


@dbus.service.method(MOCK, in_signature='sssq', out_signature='')
def RemoteStartNotify(_self, adapter_name, char_uuid, device_path, mtu):
    '''The central at device_path, on a link of ATT MTU mtu, enables notifications; bluetoothd
    answers it at once (gatt_ccc_write_cb), and a central already subscribed changes nothing.'''
    app, path = _served(adapter_name, char_uuid, 'notify')
    _incoming(device_path, mtu)
    _check_encryption(app, path, 'encrypt-notify', device_path)
    paths = app.ccc.setdefault(str(device_path), set())
    if path not in paths:
        paths.add(path)
        app.enable(path, str(device_path))


@dbus.service.method(MOCK, in_signature='sss', out_signature='')
def RemoteStopNotify(_self, adapter_name, char_uuid, device_path):
    '''The central disables notifications (gatt_ccc_write_cb, ccc_write_cb).'''
    app, path = _served(adapter_name, char_uuid, 'notify')
    _incoming(device_path)
    if path in app.ccc.get(str(device_path), ()):
        app.ccc[str(device_path)].discard(path)
        app.disable(path)


@dbus.service.method(MOCK, in_signature='sss', out_signature='aay')
def GetNotifications(_self, adapter_name, char_uuid, device_path):
    '''The notifications of the characteristic that the central received, oldest first.'''
    values = _adapter(adapter_name).notifications.get((_uuid(char_uuid), str(device_path)), [])
    return dbus.Array([dbus.ByteArray(v) for v in values], signature='ay')


# --- Advertising ---

def _advertisement_fault(props):
    '''What parse_advertisement and refresh_legacy_adv (advertising.c) find wrong with an
    advertisement, or None.'''
    for key, sig in _AD_TYPES.items():
        if key in props and not _is(props[key], sig):
            return f'Error parsing {key} property'
    if props.get('Type', 'peripheral') not in ('broadcast', 'peripheral'):
        return 'Error parsing Type or Includes property'
    return None


def _advertising_flags(props):
    '''The Flags AD field the advertisement goes out with: parse_discoverable and set_flags
    (advertising.c) put LE General Discoverable, with BR/EDR Not Supported as the adapter itself
    is never discoverable here; without Discoverable, no flags.'''
    return 0x06 if props.get('Discoverable', False) else 0x00


class _AdvertisingManager:
    @dbus.service.method(ADV_MANAGER, in_signature='oa{sv}', out_signature='',
                         sender_keyword='sender', async_callbacks=('ok', 'err'))
    def RegisterAdvertisement(obj, advertisement, _options, sender, ok, err):
        '''register_advertisement (advertising.c); the adapter's power does not matter, as the
        kernel keeps advertising instances while it is off.'''
        a = _adapters[obj.path]
        key = (str(sender), str(advertisement))
        _log(f'RegisterAdvertisement {sender} {advertisement}')
        if key in a.ads or key in a.reading:
            return err(_bluez('AlreadyExists', 'Already Exists'))
        if len(a.ads) >= MAX_ADVERTISEMENTS:
            return err(_bluez('NotPermitted', 'Maximum advertisements reached'))
        a.reading.add(key)

        def read(props):
            a.reading.discard(key)
            fault = _advertisement_fault(props)
            if fault is not None:
                # parse_advertisement (advertising.c) logs the fault and answers this.
                _log(fault)
                return err(_bluez('Failed', 'Failed to parse advertisement.'))
            a.ads[key] = props
            return ok()

        def failed(e):
            a.reading.discard(key)
            err(_bluez('Failed', f'Failed to register advertisement: {e.get_dbus_name()}'))
        _conn().call_async(sender, advertisement, PROPS, 'GetAll', 's', (ADVERTISEMENT,), read,
                           failed, timeout=APP_TIMEOUT_S, byte_arrays=True)
        return None

    @dbus.service.method(ADV_MANAGER, in_signature='o', out_signature='',
                         sender_keyword='sender')
    def UnregisterAdvertisement(obj, advertisement, sender):
        a = _adapters[obj.path]
        key = (str(sender), str(advertisement))
        if key not in a.ads:
            raise _bluez('DoesNotExist', 'Does Not Exist')
        del a.ads[key]


@dbus.service.method(MOCK, in_signature='s', out_signature='a{sv}')
def GetAdvertisement(_self, adapter_name):
    '''The properties of the advertisement registered last, while it is registered.'''
    ads = list(_adapter(adapter_name).ads.values())
    return dbus.Dictionary(ads[-1] if ads else {}, signature='sv')


@dbus.service.method(MOCK, in_signature='s', out_signature='y')
def GetAdvertisingFlags(_self, adapter_name):
    '''The Flags AD field of the advertisement registered last (0 when none).'''
    ads = list(_adapter(adapter_name).ads.values())
    return dbus.Byte(_advertising_flags(ads[-1]) if ads else 0)


# --- Agents ---

AGENT_MANAGER = 'org.bluez.AgentManager1'
AGENT = 'org.bluez.Agent1'
_CAPABILITIES = ('', 'DisplayOnly', 'DisplayYesNo', 'KeyboardOnly', 'NoInputNoOutput',
                 'KeyboardDisplay')
# agent.c: REQUEST_TIMEOUT
AGENT_TIMEOUT_S = 60.0
_agents = {}  # sender -> (path, capability), one agent per client (agent.c, agent_list)
_default_agents = []  # senders, the default first (agent.c, default_agents)


class _AgentManager:
    @dbus.service.method(AGENT_MANAGER, in_signature='os', out_signature='',
                         sender_keyword='sender')
    def RegisterAgent(_obj, path, capability, sender):
        '''register_agent (agent.c): one agent per client, an unknown capability refused.'''
        _log(f'RegisterAgent {sender} {path} {capability}')
        if sender in _agents:
            raise _bluez('AlreadyExists', 'Already Exists')
        if capability not in _CAPABILITIES:
            raise _bluez('InvalidArguments', 'Invalid arguments in method call')
        _agents[str(sender)] = (str(path), str(capability) or 'KeyboardDisplay')

    @dbus.service.method(AGENT_MANAGER, in_signature='o', out_signature='',
                         sender_keyword='sender')
    def RequestDefaultAgent(_obj, path, sender):
        '''request_default and add_default_agent (agent.c): the client's own agent only.'''
        _log(f'RequestDefaultAgent {sender} {path}')
        if _agents.get(sender, (None,))[0] != path:
            raise _bluez('DoesNotExist', 'Does Not Exist')
        if sender in _default_agents:
            _default_agents.remove(sender)
        _default_agents.insert(0, str(sender))


@dbus.service.method(MOCK, in_signature='s', out_signature='',
                     async_callbacks=('ok', 'err'))
def RemotePair(_self, device, ok, err):
    '''The device pairs with the adapter by Just Works. Without a default agent the adapter is not
    bondable (adapter_set_io_capability, adapter.c). With a NoInputNoOutput agent the kernel
    decides alone (smp.c tk_request), unless keys are stored: then bluetoothd refuses before any
    agent is asked (JustWorksRepairing = never). Another agent is asked RequestAuthorization
    (device.c device_confirm_passkey).'''
    d = _device(device)
    if not _default_agents:
        _log('No agent available for request type 2')
        return err(_error(MOCK + '.PairingRejected', 'No agent available'))
    sender = _default_agents[0]
    path, capability = _agents[sender]

    def accepted(*_reply):
        _set(d.obj, DEVICE, {'Paired': dbus.Boolean(True), 'Bonded': dbus.Boolean(True)})
        ok()

    if capability == 'NoInputNoOutput':
        if d.obj.props[DEVICE]['Paired']:
            return err(_error(MOCK + '.PairingRejected', 'Just Works re-pairing refused'))
        return accepted()

    def rejected(e):
        err(_error(MOCK + '.PairingRejected', e.get_dbus_name()))
    _conn().call_async(sender, path, AGENT, 'RequestAuthorization', 'o',
                       (dbus.ObjectPath(device),), accepted, rejected, timeout=AGENT_TIMEOUT_S)
    return None


def load(mock, parameters):
    global _root  # pylint: disable=global-statement
    _root = mock
    bluez5.load(mock, parameters)
    # bluetoothd's own AgentManager1 in place of the template's, which keys agents by path.
    _add_methods(mockobject.objects['/org/bluez'], (_AgentManager,))
