"""The FastAPI example: request bodies checked by a validator, documented by the export."""

import json
import pathlib
import sys

import pytest


# The test client warns about its own transport; not ours to fix.
pytestmark = pytest.mark.filterwarnings("ignore:Using `httpx` with `starlette.testclient`")

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("fastapi")
    pytest.importorskip("httpx")
    from fastapi.testclient import TestClient

    sys.path.insert(0, str(EXAMPLES))
    try:
        import fastapi_app
    finally:
        sys.path.remove(str(EXAMPLES))
    return TestClient(fastapi_app.app)


def test_fastapi_accepts_and_rejects_order_bodies(client):
    ok = client.post("/orders", content=(EXAMPLES / "order.json").read_bytes())
    assert ok.status_code == 201
    assert ok.json()["order"]["created_at"] == "2024-05-01T10:15:00+00:00"
    bad = client.post("/orders", content=(EXAMPLES / "order_invalid.json").read_bytes())
    assert bad.status_code == 422
    detail = bad.json()["detail"]
    assert detail[0] == {"path": "customer_id", "code": "invalid_format",
                         "message": "not a valid uuid"}
    assert [d["code"] for d in detail][-1] == "unknown_field"
    assert client.post("/orders", content=b'{"id": 1').status_code == 400


def test_fastapi_openapi_documents_the_exported_bodies(client):
    document = client.get("/openapi.json").json()
    body = document["paths"]["/payments"]["post"]["requestBody"]["content"]["application/json"]
    assert body["schema"] == {"$ref": "#/components/schemas/PaymentEvent"}
    schemas = document["components"]["schemas"]
    assert schemas["Order"]["properties"]["shipping"] == {"$ref": "#/components/schemas/Address"}
    assert schemas["PaymentEvent"]["discriminator"] == {"propertyName": "type", "mapping": {
        tag: f"#/components/schemas/PaymentEvent/allOf/{i}/then"
        for i, tag in enumerate(("card", "bank_transfer", "refund"))}}
    assert "#/$defs/" not in json.dumps(document)
