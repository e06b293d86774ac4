import enum
import uuid

SDK_DATA_URL: str

class TaskStatus(enum.Enum):
    START_CALL = 1
    END_CALL = 2
    EXCEPTION_CALL = 3

def post_sdk_data(uid: uuid.UUID, alg_name: str, task_status: TaskStatus = ..., error_info: str = "") -> None: ...
