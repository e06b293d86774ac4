"""Account identity: the gateway's ``Authorization`` text and the identity
record carried by usage events.

Values come from environment variables first, then from a JSON file
(``ORVANE_ACCOUNT_FILE``, default ``~/.orvane/account.json``) with the keys
``authorization``, ``sdk_code``, ``user_id``, ``bit_count`` and
``is_statistics``:

=========================  ===================  ==========================
environment variable       file key             meaning
=========================  ===================  ==========================
``ORVANE_AUTHORIZATION``   ``authorization``    ``Authorization`` header
``ORVANE_SDK_CODE``        ``sdk_code``         the account's SDK code
``ORVANE_USER_ID``         ``user_id``          user identifier
``ORVANE_BIT_COUNT``       ``bit_count``        qubits of the account
``ORVANE_IS_STATISTICS``   ``is_statistics``    usage statistics switch
=========================  ===================  ==========================

The values are read afresh on every call, so a changed environment or file
takes effect at once.
"""
from __future__ import annotations

import json
import os
from pathlib import Path

_KEYS = ("authorization", "sdk_code", "user_id", "bit_count", "is_statistics")
_FALSE_TEXTS = {"0", "false", "no", "off", ""}


def _account_file() -> Path:
    return Path(os.environ.get("ORVANE_ACCOUNT_FILE", "~/.orvane/account.json")).expanduser()


def _read_file() -> dict:
    path = _account_file()
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as exc:
        raise ValueError(f"account file {path} cannot be read: {exc}") from exc
    if not isinstance(data, dict):
        raise ValueError(f"account file {path} must hold a JSON object")
    return data


def _values() -> dict:
    values = {k: v for k, v in _read_file().items() if k in _KEYS}
    for key in _KEYS:
        env = os.environ.get("ORVANE_" + key.upper())
        if env is not None:
            values[key] = env
    if isinstance(values.get("bit_count"), str):
        values["bit_count"] = int(values["bit_count"]) if values["bit_count"].strip() else None
    if isinstance(values.get("is_statistics"), str):
        values["is_statistics"] = values["is_statistics"].strip().lower() not in _FALSE_TEXTS
    return values


def get_authorization() -> str:
    """The ``Authorization`` header value for gateway requests ('' when unset)."""
    return str(_values().get("authorization") or "")


def get_identity() -> tuple[dict, str]:
    """The identity record and the SDK code for usage events.

    The record may hold "user_id", "bit_count" and "is_statistics"; a record
    without "is_statistics" counts as switched on.
    """
    values = _values()
    record = {k: values[k] for k in ("user_id", "bit_count", "is_statistics") if k in values}
    return record, str(values.get("sdk_code") or "")
