"""An order API whose request bodies a vorn validator checks, with the exported JSON Schema
published in the OpenAPI document.

    pip install fastapi uvicorn
    uvicorn fastapi_app:app --app-dir examples

FastAPI reads no body model here: the endpoint takes the raw bytes, so the body is parsed
and validated once, by the validator, on the JSON road. A body sent as another media type
than JSON is refused with 415; a body without a Content-Type is read as JSON.
"""

import json
from pathlib import Path
from typing import Any

from fastapi import FastAPI, HTTPException, Request
from fastapi.openapi.utils import get_openapi
from fastapi.responses import JSONResponse

from vorn_schema import ParseError, Schema, ValidationError, json_default, to_json_schema

SHOP = Schema.load(Path(__file__).with_name("shop.vorn"))
ORDERS = SHOP.validator("Order")
PAYMENTS = SHOP.validator("PaymentEvent")

app = FastAPI(title="Shop", version="1.0")


def components(schema: Schema) -> dict[str, Any]:
    """The schema's types as OpenAPI components: the export's $defs, with references
    pointing into components instead."""
    text = json.dumps(to_json_schema(schema)["$defs"])
    return json.loads(text.replace('"#/$defs/', '"#/components/schemas/'))


ERRORS = {
    # What ValidationError.errors() lists, as the 422 body carries it.
    "ValidationErrors": {
        "type": "object",
        "properties": {"detail": {"type": "array", "items": {
            "type": "object",
            "properties": {k: {"type": "string"} for k in ("path", "code", "message")},
            "required": ["path", "code", "message"],
        }}},
        "required": ["detail"],
    },
    "Problem": {
        "type": "object",
        "properties": {"detail": {"type": "string"}},
        "required": ["detail"],
    },
}


def json_body(schema: dict[str, Any], description: str) -> dict[str, Any]:
    return {"description": description, "content": {"application/json": {"schema": schema}}}


def component(name: str) -> dict[str, Any]:
    return {"$ref": f"#/components/schemas/{name}"}


def documented(type_name: str, accepted: dict[str, Any]) -> dict[str, Any]:
    """The request body and every answer of an endpoint that takes a `type_name` body."""
    return {
        "requestBody": {"required": True,
                        "content": {"application/json": {"schema": component(type_name)}}},
        "responses": {
            "201": json_body(accepted, "Accepted"),
            "400": json_body(component("Problem"), "Malformed JSON"),
            "415": json_body(component("Problem"), "The body is not JSON"),
            "422": json_body(component("ValidationErrors"), "The body does not conform"),
        },
    }


async def json_bytes(request: Request) -> bytes:
    media_type = request.headers.get("content-type", "application/json").split(";")[0].strip()
    if media_type != "application/json" and not media_type.endswith("+json"):
        raise HTTPException(415, f"expected application/json, not {media_type}")
    return await request.body()


def respond(result: dict[str, Any], status_code: int = 201) -> JSONResponse:
    # Results hold date and datetime objects; json_default writes them as ISO 8601.
    return JSONResponse(json.loads(json.dumps(result, default=json_default)), status_code)


@app.exception_handler(ValidationError)
async def rejected(request: Request, exc: ValidationError) -> JSONResponse:
    return JSONResponse({"detail": exc.errors()}, status_code=422)


@app.exception_handler(ParseError)
async def malformed(request: Request, exc: ParseError) -> JSONResponse:
    return JSONResponse({"detail": f"malformed JSON at {exc}"}, status_code=400)


ORDER_ACCEPTED = {
    "type": "object",
    "properties": {"accepted": {"type": "integer"}, "order": component("Order")},
    "required": ["accepted", "order"],
}


@app.post("/orders", status_code=201, openapi_extra=documented("Order", ORDER_ACCEPTED))
async def create_order(request: Request) -> JSONResponse:
    order = ORDERS(await json_bytes(request))
    return respond({"accepted": order["id"], "order": order})


PAYMENT_RECORDED = {
    "type": "object",
    "properties": {"type": {"type": "string"}, "amount_cents": {"type": "integer"}},
    "required": ["type", "amount_cents"],
}


@app.post("/payments", status_code=201, openapi_extra=documented("PaymentEvent", PAYMENT_RECORDED))
async def record_payment(request: Request) -> JSONResponse:
    event = PAYMENTS(await json_bytes(request))
    return respond({"type": event["type"], "amount_cents": event["amount_cents"]})


def openapi() -> dict[str, Any]:
    if app.openapi_schema is None:
        document = get_openapi(title=app.title, version=app.version, routes=app.routes)
        schemas = document.setdefault("components", {}).setdefault("schemas", {})
        schemas.update(components(SHOP))
        schemas.update(ERRORS)
        app.openapi_schema = document
    return app.openapi_schema


app.openapi = openapi  # type: ignore[method-assign]
