"""Tool calls of the "Velmora MCP" server that keep the client's call alive.

Generating or solving a model can take minutes. The MCP SDK 1.x runs a plain function on the
server's event loop, which then answers nothing (not even a ping) until the function returns, and
common clients give up on a request after about a minute unless progress notifications arrive.
`as_async_tool` turns a tool into a coroutine function for the SDK to register: the work runs in
a worker thread of its own while the event loop stays free, and every step the work reports (a
round of generation, a phase of the insight workflow) goes to the client as a progress
notification, repeated every KEEPALIVE_SECONDS while nothing new happens.
"""
import asyncio
import concurrent.futures
import contextvars
import functools
import inspect

from korvane.genai import progress

KEEPALIVE_SECONDS = 10.0
# The request context the SDK passes to the coroutine; the SDK leaves it out of the input schema.
CONTEXT_PARAMETER = "ctx"


def as_async_tool(tool, context_type):
    """A coroutine function with the name, description, parameters and return annotation of
    `tool`, plus a keyword-only `ctx` annotated with the SDK's `context_type`, that returns what
    `tool` returns (or raises what it raises) after running it in a worker thread."""

    async def call_tool(**arguments):
        context = arguments.pop(CONTEXT_PARAMETER, None)
        return await run_with_progress(functools.partial(tool, **arguments), context)

    signature = inspect.signature(tool)
    context_parameter = inspect.Parameter(CONTEXT_PARAMETER, inspect.Parameter.KEYWORD_ONLY, default=None,
                                          annotation=context_type)
    call_tool.__signature__ = signature.replace(parameters=[*signature.parameters.values(), context_parameter])
    call_tool.__annotations__ = {**tool.__annotations__, CONTEXT_PARAMETER: context_type}
    for name in ("__name__", "__qualname__", "__module__", "__doc__"):
        setattr(call_tool, name, getattr(tool, name))
    call_tool.__wrapped__ = tool
    return call_tool


async def run_with_progress(work, context):
    """The result of `work()`, run in a new worker thread; what it reports through
    korvane.genai.progress becomes progress notifications of the request `context` belongs to."""
    loop = asyncio.get_running_loop()
    steps = asyncio.Queue()

    def hear(message):  # in the worker thread, which may outlive a cancelled call and its loop
        if not loop.is_closed():
            loop.call_soon_threadsafe(steps.put_nowait, message)

    with progress.listening(hear):
        work_context = contextvars.copy_context()
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="korvane-tool")
    try:
        done = loop.run_in_executor(pool, work_context.run, work)
        await _notify_until_done(done, steps, context)
        return done.result()
    finally:
        pool.shutdown(wait=False)


async def _notify_until_done(done, steps, context):
    """Sends a notification for each reported step, and again after every KEEPALIVE_SECONDS
    without one, until `done` completes."""
    count, message = 0, "working"
    while True:
        next_step = asyncio.ensure_future(steps.get())
        try:
            finished, _ = await asyncio.wait({done, next_step}, timeout=KEEPALIVE_SECONDS,
                                             return_when=asyncio.FIRST_COMPLETED)
        finally:
            next_step.cancel()
        if done in finished:
            return
        if next_step in finished:
            message = next_step.result()
        count += 1
        await _notify(context, count, message)


async def _notify(context, count, message):
    """A progress notification, sent only when the client asked for them: the SDK's context
    drops it when the request carries no progress token, and a context that belongs to no request
    (the server's call_tool called directly) has no client to tell."""
    if context is not None and _in_request(context):
        await context.report_progress(count, None, message)


def _in_request(context):
    try:
        context.request_context
    except ValueError:
        return False
    return True
