"""datetime, date, time and UUID values: texts, options, time-zone libraries."""
import datetime
import random
import uuid

import pytest

import quibex

from datetime import date, time, timedelta, timezone

NAIVE_UTC = quibex.OPT_NAIVE_UTC
UTC_Z = quibex.OPT_UTC_Z
OMIT_US = quibex.OPT_OMIT_MICROSECONDS
LIBRARY_UNSUPPORTED = (
    "datetime's timezone library is not supported: use datetime.timezone.utc, pendulum, pytz, or dateutil"
)


def dt(*args, **kwargs):
    return datetime.datetime(*args, **kwargs)


def tz(**kwargs):
    return timezone(timedelta(**kwargs))


def text(value, option=0):
    out = quibex.dumps(value, option=option)
    assert out[:1] == b'"' and out[-1:] == b'"'
    return out[1:-1].decode()


@pytest.mark.parametrize("value, option, expected", [
    (dt(2024, 1, 2, 3, 4, 5), 0, "2024-01-02T03:04:05"),
    (dt(2024, 1, 2, 3, 4, 5, 7), 0, "2024-01-02T03:04:05.000007"),
    (dt(2024, 1, 2, 3, 4, 5, 12345), 0, "2024-01-02T03:04:05.012345"),
    (dt(2024, 1, 2, 3, 4, 5, 999999), 0, "2024-01-02T03:04:05.999999"),
    (dt(2024, 1, 2, 3, 4, 5, 12345), OMIT_US, "2024-01-02T03:04:05"),
    (dt(2024, 12, 31, 23, 59, 59), 0, "2024-12-31T23:59:59"),
    (dt(999, 12, 31), 0, "0999-12-31T00:00:00"),
    (dt(1, 1, 1), 0, "0001-01-01T00:00:00"),
    (datetime.datetime.max, 0, "9999-12-31T23:59:59.999999"),
    (dt(2024, 1, 2, fold=1), 0, "2024-01-02T00:00:00"),
    (date(5, 1, 1), 0, "0005-01-01"),
    (date(99, 10, 9), 0, "0099-10-09"),
    (date(2024, 2, 29), OMIT_US | NAIVE_UTC | UTC_Z, "2024-02-29"),
    (date.max, 0, "9999-12-31"),
    (time(12, 0), 0, "12:00:00"),
    (time(0, 0), 0, "00:00:00"),
    (time(12, 0, 0, 12345), 0, "12:00:00.012345"),
    (time(12, 0, 0, 12345), OMIT_US, "12:00:00"),
    (time(23, 59, 59, 1), NAIVE_UTC | UTC_Z, "23:59:59.000001"),
    (time(1, 2, 3, fold=1), 0, "01:02:03"),
], ids=repr)
def test_texts(value, option, expected):
    assert text(value, option) == expected
    # A time never gets an offset, so its text is also what isoformat gives.
    if option == 0:
        assert expected == value.isoformat()


# The offset part of each case; OPT_OMIT_MICROSECONDS applies independently.
OFFSET_TABLE = [
    # datetime,                      neither,  NAIVE_UTC, UTC_Z,   both
    (dt(2024, 1, 2),                 "",       "+00:00",  "",      "Z"),
    (dt(2024, 1, 2, tzinfo=timezone.utc), "+00:00", "+00:00", "Z", "Z"),
    (dt(2024, 1, 2, tzinfo=tz(hours=-5)), "-05:00", "-05:00", "-05:00", "-05:00"),
]


@pytest.mark.parametrize("value, neither, naive_utc, utc_z, both", OFFSET_TABLE)
@pytest.mark.parametrize("omit", [0, OMIT_US])
def test_offset_options(value, neither, naive_utc, utc_z, both, omit):
    value = value.replace(microsecond=5)
    fraction = "" if omit else ".000005"
    for option, offset in [(0, neither), (NAIVE_UTC, naive_utc), (UTC_Z, utc_z), (NAIVE_UTC | UTC_Z, both)]:
        assert text(value, option | omit) == "2024-01-02T00:00:00" + fraction + offset


@pytest.mark.parametrize("offset, expected, expected_z", [
    (tz(hours=5, minutes=30), "+05:30", "+05:30"),
    (tz(hours=-5), "-05:00", "-05:00"),
    (tz(hours=1, seconds=29), "+01:00", "+01:00"),
    (tz(hours=1, seconds=30), "+01:01", "+01:01"),
    (tz(seconds=29), "+00:00", "+00:00"),   # not a zero offset, so never "Z"
    (tz(seconds=-30), "-00:01", "-00:01"),
    (tz(seconds=-29), "-00:00", "-00:00"),
    (tz(hours=1, minutes=59, seconds=30), "+02:00", "+02:00"),   # the rounding carries into the hour
    (tz(hours=-1, minutes=-59, seconds=-30), "-02:00", "-02:00"),
    (tz(hours=23, minutes=59, seconds=59), "+24:00", "+24:00"),
    (tz(hours=-23, minutes=-59), "-23:59", "-23:59"),
    (tz(microseconds=1), "+00:00", "Z"),   # only days and seconds are read
], ids=lambda v: str(v) if isinstance(v, str) else None)
def test_offset_rounding(offset, expected, expected_z):
    value = dt(2024, 6, 1, 8, 0, tzinfo=offset)
    assert text(value) == "2024-06-01T08:00:00" + expected
    assert text(value, UTC_Z) == "2024-06-01T08:00:00" + expected_z


def test_indented_and_nested():
    value = {"a": [dt(2024, 1, 2, tzinfo=timezone.utc), date(2024, 1, 2)], "t": time(1, 2)}
    compact = b'{"a":["2024-01-02T00:00:00Z","2024-01-02"],"t":"01:02:00"}'
    assert quibex.dumps(value, option=UTC_Z) == compact
    assert quibex.dumps(value, option=UTC_Z | quibex.OPT_INDENT_2) == (
        b'{\n  "a": [\n    "2024-01-02T00:00:00Z",\n    "2024-01-02"\n  ],\n  "t": "01:02:00"\n}')


class SubDatetime(datetime.datetime):
    pass


class SubDate(date):
    pass


class SubTime(time):
    pass


class SubUUID(uuid.UUID):
    pass


@pytest.mark.parametrize("value", [
    SubDatetime(2024, 1, 1), SubDate(2024, 1, 1), SubTime(1, 2), SubUUID(int=1), timedelta(1)], ids=repr)
def test_subclasses_and_timedelta_go_to_default(value):
    assert quibex.dumps([value], default=lambda o: "d") == b'["d"]'
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(value)
    assert e.value.args[0].startswith("Type is not JSON serializable: ")
    assert e.value.args[0].endswith(type(value).__name__)


@pytest.mark.parametrize("value", [dt(2024, 1, 1), date(2024, 1, 1), time(1, 2)], ids=repr)
def test_passthrough_datetime(value):
    calls = []
    out = quibex.dumps({"k": [value]}, default=lambda o: calls.append(o) or "x",
                       option=quibex.OPT_PASSTHROUGH_DATETIME)
    assert out == b'{"k":["x"]}' and calls == [value]
    with pytest.raises(quibex.JSONEncodeError, match="^Type is not JSON serializable: datetime"):
        quibex.dumps(value, option=quibex.OPT_PASSTHROUGH_DATETIME)


@pytest.mark.parametrize("tzinfo", [timezone.utc, tz(hours=2)], ids=str)
@pytest.mark.parametrize("option", [0, NAIVE_UTC | UTC_Z | OMIT_US])
def test_time_with_tzinfo_fails(tzinfo, option):
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps([time(12, 0, tzinfo=tzinfo)], option=option)
    assert e.value.args == ("datetime.time must not have tzinfo set",)
    assert e.value.__cause__ is None


# --- time-zone libraries ------------------------------------------------------

def zoneinfo_zone(name):
    zoneinfo = pytest.importorskip("zoneinfo")
    try:
        return zoneinfo.ZoneInfo(name)
    except zoneinfo.ZoneInfoNotFoundError:
        pytest.skip("no time-zone database")


def test_zoneinfo():
    ny = zoneinfo_zone("America/New_York")
    assert text(dt(2024, 1, 15, 12, tzinfo=ny)) == "2024-01-15T12:00:00-05:00"
    assert text(dt(2024, 7, 15, 12, tzinfo=ny)) == "2024-07-15T12:00:00-04:00"
    # Ambiguous wall time: the offset follows fold, as utcoffset() reports it.
    assert text(dt(2024, 11, 3, 1, 30, tzinfo=ny, fold=1)) == "2024-11-03T01:30:00-05:00"
    assert text(dt(2024, 1, 1, tzinfo=zoneinfo_zone("UTC")), UTC_Z) == "2024-01-01T00:00:00Z"
    # Local mean time before standard time: -4:56:02 is rounded to the minute.
    assert text(dt(1850, 1, 1, tzinfo=ny)) == "1850-01-01T00:00:00-04:56"


def test_pytz():
    pytz = pytest.importorskip("pytz")
    ny = pytz.timezone("America/New_York")
    # An unlocalised pytz zone carries local mean time (-4:56); the offset
    # written is that of the datetime normalize() returns.
    assert text(dt(2024, 7, 1, 12, tzinfo=ny)) == "2024-07-01T12:00:00-04:00"
    assert text(ny.localize(dt(2024, 7, 1, 12))) == "2024-07-01T12:00:00-04:00"
    assert text(ny.localize(dt(2024, 1, 1, 12))) == "2024-01-01T12:00:00-05:00"
    assert text(dt(2024, 1, 1, tzinfo=pytz.utc), UTC_Z) == "2024-01-01T00:00:00Z"
    assert text(pytz.timezone("Asia/Kolkata").localize(dt(2024, 1, 1))) == "2024-01-01T00:00:00+05:30"


def test_pendulum():
    pendulum = pytest.importorskip("pendulum")
    paris = pendulum.timezone("Europe/Paris")
    assert text(dt(2024, 1, 1, tzinfo=paris)) == "2024-01-01T00:00:00+01:00"
    assert text(dt(2024, 7, 1, tzinfo=paris)) == "2024-07-01T00:00:00+02:00"
    assert text(dt(2024, 7, 1, tzinfo=pendulum.UTC), UTC_Z) == "2024-07-01T00:00:00Z"
    # pendulum's own DateTime is a datetime subclass: it goes to default.
    assert quibex.dumps(pendulum.datetime(2024, 1, 1), default=str) == b'"2024-01-01 00:00:00+00:00"'


def test_dateutil():
    tz_ = pytest.importorskip("dateutil.tz")
    assert text(dt(2024, 1, 1, tzinfo=tz_.tzutc()), UTC_Z) == "2024-01-01T00:00:00Z"
    assert text(dt(2024, 1, 1, tzinfo=tz_.tzoffset(None, -3 * 3600 - 1800))) == "2024-01-01T00:00:00-03:30"
    paris = tz_.gettz("Europe/Paris")
    if paris is None:
        pytest.skip("no time-zone database")
    assert text(dt(2024, 7, 1, tzinfo=paris)) == "2024-07-01T00:00:00+02:00"


# Small zones that imitate the libraries, recording which methods are used.
FIXED = timedelta(hours=3)


class Recording(datetime.tzinfo):
    armed = True   # when False, a plain zero offset (so the datetime can be hashed)

    def __init__(self, offset=FIXED):
        self.offset = offset
        self.calls = []

    def utcoffset(self, value):
        if not self.armed:
            return timedelta(0)
        self.calls.append("utcoffset")
        return self.offset


class ConvertZone(Recording):
    """pendulum: has convert(); the datetime's own utcoffset() is asked."""

    def convert(self, value):
        raise AssertionError("never called")


class NormalizeZone(Recording):
    """pytz: has normalize(); the offset of the datetime it returns is used."""

    def __init__(self, normalized_offset):
        super().__init__(timedelta(hours=9))
        self.normalized = timezone(normalized_offset)

    def normalize(self, value):
        self.calls.append("normalize")
        return value.replace(tzinfo=self.normalized)


class NoMethods(Recording):
    """A zone without dst (hidden), convert or normalize: unsupported."""

    def __getattribute__(self, name):
        if name == "dst":
            raise AttributeError(name)
        return super().__getattribute__(name)


def test_convert_path():
    zone = ConvertZone()
    assert text(dt(2024, 1, 1, tzinfo=zone)) == "2024-01-01T00:00:00+03:00"
    assert zone.calls == ["utcoffset"]


def test_normalize_path():
    zone = NormalizeZone(timedelta(hours=-2, minutes=-15))
    assert text(dt(2024, 1, 1, tzinfo=zone)) == "2024-01-01T00:00:00-02:15"
    assert zone.calls == ["normalize"]


def test_dst_path_and_refcounts(refcount):
    offset = timedelta(hours=-7)
    zone = Recording(offset)
    value = dt(2024, 1, 1, tzinfo=zone)
    before = refcount(offset), refcount(zone), refcount(value)
    assert text(value) == "2024-01-01T00:00:00-07:00"
    assert zone.calls == ["utcoffset"]
    assert (refcount(offset), refcount(zone), refcount(value)) == before


class DeltaSub(timedelta):
    pass


def test_timedelta_subclass_offset_is_read():
    assert text(dt(2024, 1, 1, tzinfo=Recording(DeltaSub(hours=4)))) == "2024-01-01T00:00:00+04:00"


class ForeignDst(Recording):
    """dst is a method of another type, which getattr on the zone refuses."""
    dst = str.upper


class HiddenDst(Recording):
    @property
    def dst(self):
        raise AttributeError("dst")


# 3.13 reports the TypeError that PyObject_HasAttr swallows for ForeignDst.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_methods_found_on_the_instance_and_refused_on_the_class():
    # normalize set on the instance is found as getattr finds it.
    zone = Recording()
    zone.normalize = lambda value: value.replace(tzinfo=timezone(timedelta(hours=6)))
    assert text(dt(2024, 1, 1, tzinfo=zone)) == "2024-01-01T00:00:00+06:00"
    # A zone whose dst getattr cannot give has no dst.
    for zone in (ForeignDst(), HiddenDst()):
        with pytest.raises(quibex.JSONEncodeError, match="timezone library is not supported"):
            quibex.dumps(dt(2024, 1, 1, tzinfo=zone))


def test_fixed_offset_zones_leave_refcounts(refcount):
    offset = timedelta(hours=2)
    zone = timezone(offset)
    value = dt(2024, 1, 1, tzinfo=zone)
    before = refcount(offset), refcount(zone), refcount(timezone.utc)
    assert quibex.dumps([value, value.replace(tzinfo=timezone.utc)]) == (
        b'["2024-01-01T00:00:00+02:00","2024-01-01T00:00:00+00:00"]')
    assert (refcount(offset), refcount(zone), refcount(timezone.utc)) == before


class Raising(Recording):
    def utcoffset(self, value):
        if self.armed:
            raise ValueError("no offset")
        return timedelta(0)


class ConvertRaising(Raising, ConvertZone):
    pass


class RaisingNormalize(NormalizeZone):
    def normalize(self, value):
        raise ValueError("no normalized datetime")


@pytest.mark.parametrize("make_zone, cause", [
    (lambda: Recording(None), None),                      # a zone that declines to give an offset
    (lambda: Recording(3600), None),                      # not a timedelta
    (lambda: Recording("+01:00"), None),
    (lambda: Recording(timedelta(days=1)), None),         # outside a day either way
    (lambda: Recording(timedelta(hours=-24)), None),
    (lambda: Recording(timedelta(days=-3, hours=1)), None),
    (lambda: Raising(), ValueError),
    (lambda: RaisingNormalize(timedelta(0)), ValueError),
    (lambda: ConvertRaising(), ValueError),
    (lambda: datetime.tzinfo(), NotImplementedError),     # the abstract base, exactly
    (lambda: NoMethods(), None),
], ids=["none", "int", "str", "one-day", "minus-one-day", "minus-three-days", "utcoffset-raises",
        "normalize-raises", "convert-utcoffset-raises", "abstract-tzinfo", "no-methods"])
@pytest.mark.parametrize("as_key", [False, True])
def test_unsupported_time_zones(make_zone, cause, as_key, refcount):
    zone = make_zone()
    value = dt(2024, 1, 1, tzinfo=zone)
    if as_key:
        if type(zone) is datetime.tzinfo:
            pytest.skip("hashing the datetime already raises")
        zone.armed = False
        obj = {value: 1}
        zone.armed = True
    else:
        obj = [value]
    before = refcount(zone), refcount(value)
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(obj, option=quibex.OPT_NON_STR_KEYS)
    assert e.value.args == (LIBRARY_UNSUPPORTED,)
    assert type(e.value.__cause__) is cause if cause else e.value.__cause__ is None
    del e
    assert (refcount(zone), refcount(value)) == before


class Clearing(datetime.tzinfo):
    """Empties a container that holds the only reference to the datetime."""

    def __init__(self, container):
        self.container = container

    def utcoffset(self, value):
        self.container.clear()
        return timedelta(hours=1)


def test_time_zone_that_drops_the_datetime():
    holder = []
    holder.append(dt(2024, 1, 1, tzinfo=Clearing(holder)))
    assert quibex.dumps(holder) == b'["2024-01-01T00:00:00+01:00"]'
    assert holder == []
    # As a key: the dict emptied while its keys are converted fails the
    # write as a dict changed while iterated, and nothing freed is read.
    changed = "^dictionary changed size during iteration$"
    d = {}
    d[dt(2024, 1, 1, tzinfo=Clearing(d))] = [1]
    d["x"] = 2
    with pytest.raises(quibex.JSONEncodeError, match=changed):
        quibex.dumps(d, option=quibex.OPT_NON_STR_KEYS)
    d = {"".join(["a", "b"]): [2]}
    zone = Clearing(d)
    zone.utcoffset = lambda value: timedelta(hours=1)   # while the key is hashed
    d[dt(2024, 1, 1, tzinfo=zone)] = [1]
    del zone.utcoffset
    with pytest.raises(quibex.JSONEncodeError, match=changed):
        quibex.dumps(d, option=quibex.OPT_NON_STR_KEYS)
    assert d == {}


# --- UUID ---------------------------------------------------------------------

@pytest.mark.parametrize("value", [
    uuid.UUID("12345678-1234-5678-1234-567812345678"),
    uuid.UUID(int=0),
    uuid.UUID(int=2**128 - 1),
    uuid.UUID(int=1),
    uuid.UUID(int=2**120),            # the int's fifth digit begins here
    uuid.UUID(int=2**120 - 1),
    uuid.UUID(int=2**127 + 2**90 + 2**60 + 2**30 + 1),
    uuid.UUID("00ff00ff-0f0f-f0f0-a5a5-5a5a5a5a5a5a"),
    uuid.uuid4(),
    uuid.uuid1(),
], ids=str)
def test_uuid_text(value, refcount):
    before = refcount(value)
    assert quibex.dumps(value) == ('"%s"' % value).encode()
    assert quibex.dumps([value], option=quibex.OPT_INDENT_2) == ('[\n  "%s"\n]' % value).encode()
    assert refcount(value) == before


def broken_uuid(int_value):
    value = uuid.UUID.__new__(uuid.UUID)
    if int_value is not None:
        object.__setattr__(value, "int", int_value)
    return value


@pytest.mark.parametrize("int_value, cause", [
    (None, AttributeError),   # int never set
    ("x", None),
    (1.0, None),
    (-1, None),
    (-(2**100), None),
    (2**128, None),
    (2**149, None),
    (2**200, None),
], ids=repr)
def test_uuid_without_usable_int(int_value, cause):
    value = broken_uuid(int_value)
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps({"u": value})
    assert e.value.args == ("Type is not JSON serializable: UUID",)
    assert type(e.value.__cause__) is cause if cause else e.value.__cause__ is None


def test_uuid_texts_match_str():
    rng = random.Random(5)
    values = [uuid.UUID(int=rng.getrandbits(rng.randrange(129))) for _ in range(2000)]
    assert quibex.dumps(values) == ("[%s]" % ",".join('"%s"' % v for v in values)).encode()


def test_uuid_int_as_getattr_gives_it(monkeypatch):
    value = uuid.UUID(int=5)
    monkeypatch.setattr(uuid.UUID, "int", property(lambda self: 2**128 - 2))
    assert quibex.dumps(value) == b'"ffffffff-ffff-ffff-ffff-fffffffffffe"'


def test_uuid_int_subclass_is_read():
    value = broken_uuid(True)
    assert quibex.dumps(value) == b'"00000000-0000-0000-0000-000000000001"'
