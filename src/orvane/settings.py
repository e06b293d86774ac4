"""Deployment settings, read once from the environment.

``GATEWAY_DOMAIN_NAME``
    Base address (scheme and host) of the cloud coherent-Ising-machine
    gateway. Environment variable ``ORVANE_GATEWAY_DOMAIN_NAME``; default
    ``https://gateway.orvane.cloud``.
``ZORN_URL``
    Base address of the developer platform that receives usage events.
    Environment variable ``ORVANE_ZORN_URL``; default
    ``https://developer.orvane.cloud``.
"""
import os

GATEWAY_DOMAIN_NAME = os.environ.get("ORVANE_GATEWAY_DOMAIN_NAME", "https://gateway.orvane.cloud")
ZORN_URL = os.environ.get("ORVANE_ZORN_URL", "https://developer.orvane.cloud")
